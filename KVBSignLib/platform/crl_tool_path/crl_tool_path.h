#ifndef KVBSIGN_CRL_TOOL_PATH_H
#define KVBSIGN_CRL_TOOL_PATH_H

// Where the CRL cache listing tool is. The build tree's library and programs run the tool the
// build made; an installed library runs the one installed beside it, found from the
// library's own location, so an installed copy never depends on the build tree.

#include <string>

namespace kvbsign {
namespace crl_tool_path {

// The listing tool's path; empty when it cannot be found out.
std::string listingToolPath();

}  // namespace crl_tool_path
}  // namespace kvbsign

#endif
