#include "crl_tool_path/crl_tool_path.h"

#if defined(KVBSIGN_CRL_TOOL_BUILD_PATH)

std::string kvbsign::crl_tool_path::listingToolPath() { return KVBSIGN_CRL_TOOL_BUILD_PATH; }

#elif defined(KVBSIGN_CRL_TOOL_RELATIVE_PATH)

#include <dlfcn.h>

// The installed library and the tool keep their places relative to each other for any install
// prefix. A path fixed at build time could name a build tree that is gone, and a removed tree
// under /tmp is a place that any local user can fill.
std::string kvbsign::crl_tool_path::listingToolPath() {
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&listingToolPath), &self) == 0 || self.dli_fname == nullptr) return std::string();
    const std::string library = self.dli_fname;
    const std::size_t slash = library.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : library.substr(0, slash);
    return directory + "/" + KVBSIGN_CRL_TOOL_RELATIVE_PATH;
}

#else
#error "KVBSIGN_CRL_TOOL_BUILD_PATH or KVBSIGN_CRL_TOOL_RELATIVE_PATH must place the CRL cache listing tool"
#endif
