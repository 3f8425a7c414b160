// The library's entry points as drova uses them, looked up by name in the
// loaded library. Their types come from the public header, so a call through
// them is exactly a host's call.
#pragma once

#include <initializer_list>
#include <set>
#include <string>

#include "Vevara_Rovo_dar.h"
#include "library_loader.h"

namespace drova {

// Every export drova calls.
#define DROVA_EXPORTS(X)                                                                                               \
    X(_Initialize) X(_Close) X(_IsConnected) X(_GetConnectInfo) X(_GetErrorString) X(_Connect) X(_Disconnect)          \
    X(_FindDROVAs) X(_GetFoundDevices) X(_StartNetworkScanning) X(_StopNetworkScanning) X(_CommRefresh)                \
    X(_GetDeviceName) X(_ReadInfo) X(_FlashInfo) X(_GetFlashSectors) X(_AppInfo) X(_BinListCreate) X(_BinListAdd)      \
    X(_BinListFree) X(_Erase) X(_Download) X(_StartApp) X(_AutoStart) X(_Reset) X(_Wrsn)                               \
    X(_GetCompatibleFOSVersions) X(_HasCompatibleFWVersion) X(_IsSupportedFwFeature) X(_SnConvertUint2Agt)             \
    X(_GetHintAboutDROVA) X(_ConsistencyCheck) X(_StopDownload) X(_CheckSum) X(_GetConnectErrorInfo)

class VelkorApi {
public:
    explicit VelkorApi(const SharedLibrary &library);

#define DROVA_MEMBER(name) decltype(&::name) name = nullptr;
    DROVA_EXPORTS(DROVA_MEMBER)
#undef DROVA_MEMBER

    // Throws LoadError naming the first of `names` the library lacks.
    void require(std::initializer_list<const char *> names) const;
    const std::set<std::string> &missing() const { return missing_; }

    // The library's own text for an error code.
    std::string error_text(int code) const;

private:
    std::set<std::string> missing_;
};

}  // namespace drova
