// "veskaopt admx": administrative templates from settings files. Every value of
// the files becomes a policy that sets the same value below the policy key of
// the application's options root, every key a category, so that the platform's
// policy tools can set and lock the options the files give defaults for.
#pragma once

#include <string>
#include <vector>

namespace veskaopt {

struct AdmxRequest {
    std::vector<std::wstring> files;  // settings files or folders (every *.xml)
    std::wstring folder;              // where <name>.admx and en-US\<name>.adml go
    std::wstring targetNamespace;     // the templates' namespace, e.g. Corvane.Policies.VeskaDemo
    std::wstring root;                // the root the host gives Init, e.g. Software\Corvane Interactive\VeskaDemo
    std::wstring policyClass;         // Both, Machine or User
};

// The policy key of an options root: "Software\Policies\" and the root without
// a leading "Software\" (in any letter case) and without trailing backslashes.
std::wstring PolicyKeyOf(std::wstring root);

// Reads the files through the platform's XML parser, writes the two templates
// and prints their paths. Returns kExitOk, kExitCheckFailed when a file does not
// parse or is not a settings file (nothing is written then), kExitNotFound for
// a missing file; throws ToolError when the parser or a write fails.
int WriteAdministrativeTemplates(const AdmxRequest& request);

}  // namespace veskaopt
