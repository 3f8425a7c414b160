# Writes OUTPUT, a C++ file holding the files ASSETS (comma-separated, under
# ASSETS_DIR) as byte arrays with their names and types: drova gui's page
# ships inside drova. Run with cmake -P at build time.
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_txt "text/plain; charset=utf-8")
set(arrays "")
set(table "")
set(index 0)
string(REPLACE "," ";" names "${ASSETS}")
foreach(name IN LISTS names)
  file(READ ${ASSETS_DIR}/${name} bytes HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  get_filename_component(extension ${name} LAST_EXT)
  string(SUBSTRING ${extension} 1 -1 extension)
  if(NOT DEFINED types_${extension})
    message(FATAL_ERROR "${name}: no content type for .${extension}")
  endif()
  file(SIZE ${ASSETS_DIR}/${name} size)
  string(APPEND arrays "const unsigned char asset_${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", \"${types_${extension}}\", asset_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Written by cmake/embed_gui_assets.cmake from tools/gui/assets; not to be edited.
#include \"gui_assets.h\"

namespace drova::gui {
namespace {

${arrays}
const Asset assets[] = {
${table}};

}  // namespace

const Asset *find_asset(std::string_view path) {
    if (path == \"/\") path = \"/index.html\";
    for (const Asset &asset : assets)
        if (path == asset.path) return &asset;
    return nullptr;
}

}  // namespace drova::gui
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
