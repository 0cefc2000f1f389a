#include "options/DefaultSettings.h"

namespace veska {

// No settings files are read yet.
bool LoadDefaultSettings(OpsInfo&) { return false; }

}  // namespace veska
