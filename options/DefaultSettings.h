// Default values from the XML settings files of the installation, merged into an
// options cache when the object is initialised.
#pragma once

#include "options/OpsInfo.h"

namespace veska {

// Merges every settings file into the cache below root (the node of the key given
// to Init). Returns true when at least one file failed, false when every file
// found was merged or none was found. Runs under the exclusive options cache lock.
// Throws std::bad_alloc or HResultError when memory runs out.
bool LoadDefaultSettings(OpsInfo& root);

}  // namespace veska
