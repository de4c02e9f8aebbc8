#ifndef KVBSIGN_ROOT_STORE_H
#define KVBSIGN_ROOT_STORE_H

// The platform's store of trusted root certificates, read item by item. Callers parse the
// items themselves; this layer only finds them.

#include <functional>
#include <string>

namespace kvbsign {
namespace root_store {

enum class Status {
    ok,              // the store was read; every item it holds was delivered
    cannotOpen,      // the store could not be opened
    cannotEnumerate, // the store opened, but its items could not be listed
};

// Delivers the DER encoding of every certificate item of the system root store, in store
// order. Items that the store holds in a form that cannot be decoded are skipped.
Status readSystemRoots(const std::function<void(const std::string& der)>& deliver);

}  // namespace root_store
}  // namespace kvbsign

#endif
