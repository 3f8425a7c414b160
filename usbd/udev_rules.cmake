# The udev rule that opens the devices of VELKOR_USBD_IDS (VID:PID pairs,
# hexadecimal, ;-separated) to the group velkor, written to OUTPUT from
# 70-drova-usbd.rules.in. Included by CMakeLists.txt; the README's set-up test
# runs it as a script: cmake -DVELKOR_USBD_IDS=... -DOUTPUT=FILE -P udev_rules.cmake
function(drova_usbd_udev_rules ids output)
  set(VELKOR_USBD_UDEV_LINES "")
  foreach(id IN LISTS ids)
    if(NOT id MATCHES "^[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]:[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]$")
      message(FATAL_ERROR "VELKOR_USBD_IDS: \"${id}\" is not VID:PID, four hexadecimal digits each")
    endif()
    string(TOLOWER "${id}" id)
    string(REPLACE ":" ";" id_parts "${id}")
    list(GET id_parts 0 vendor)
    list(GET id_parts 1 product)
    string(APPEND VELKOR_USBD_UDEV_LINES
      "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", MODE=\"0660\", GROUP=\"velkor\"\n")
  endforeach()
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/70-drova-usbd.rules.in ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED OUTPUT)
  drova_usbd_udev_rules("${VELKOR_USBD_IDS}" ${OUTPUT})
endif()
