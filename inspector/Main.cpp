// veskaopt: a console program beside VeskaOptions.dll that shows, checks,
// changes and exports the options tree an options object caches. It reaches
// the DLL only through its registered classes and interfaces.
#include <windows.h>
#include <objbase.h>

#include <CLI/CLI.hpp>

#include <exception>
#include <map>
#include <sstream>

#include "inspector/Admx.h"
#include "inspector/Console.h"
#include "inspector/Export.h"
#include "inspector/OptionsTree.h"
#include "inspector/SettingsCheck.h"
#include "inspector/ValueText.h"
#include "inspector/Watch.h"
#include "support/Utf16Bytes.h"

namespace veskaopt {
namespace {

using veska::CopyBstr;
using veska::UniqueBstr;
using veska::UniqueVariant;

const char kExitStatuses[] =
    "Exit status: 0 success; 1 check or admx: a settings file would fail or be refused; "
    "2 usage error (command line, type or value); 3 failure of a component, the "
    "registry or a file (the HRESULT and its text on standard error), or set or remove "
    "of a value locked by policy; 4 ROOT, PATH, NAME or a file or folder does not exist.";

// What the command line gives, in UTF-8 as CLI11 parses it.
struct Arguments {
    int mainKey = 1;
    std::string root;
    std::string path;
    std::string name;
    std::string value;
    std::string type = "STRING";
    std::string format = "json";
    std::string output;
    bool persist = false;
    std::vector<std::string> files;
    std::string targetNamespace;
    std::string policyClass = "Both";
    long count = 0;
    double seconds = 0;
};

void AddHive(CLI::App* command, Arguments& args) {
    // Both the short and the registry's name of every hive, which are ASCII.
    static const std::map<std::string, int> hives = [] {
        std::map<std::string, int> names;
        for (const veska::MainKeyHive& row : veska::kMainKeyHives) {
            for (const std::wstring_view name : {row.shortName, row.name}) {
                names.emplace(std::string(name.begin(), name.end()), row.mainKey);
            }
        }
        return names;
    }();
    command
        ->add_option("--hive", args.mainKey,
                     "hive Init reads ROOT from: HKCU (default), HKLM or HKCR")
        ->transform(CLI::CheckedTransformer(hives, CLI::ignore_case))
        ->option_text("HKCU|HKLM|HKCR");
}

void AddRoot(CLI::App* command, Arguments& args) {
    command->add_option("ROOT", args.root, "registry key given to Init, below the hive")
        ->required();
}

void AddPersist(CLI::App* command, Arguments& args, const char* what) {
    command->add_flag("--persist", args.persist, what);
}

std::wstring Describe(const Origin& origin) {
    switch (origin.kind) {
        case kOriginUnknown: return L"origin unknown";
        case VeskaOriginRegistry: return L"registry";
        case VeskaOriginSettingsFile: {
            std::wstring text = L"settings file " + origin.source;
            if (origin.line > 0) text += L":" + std::to_wstring(origin.line);
            if (!origin.unconverted.empty()) text += L", did not convert to " + origin.unconverted;
            if (!origin.replaced.empty()) text += L"; overrides registry " + origin.replaced;
            return text;
        }
        case VeskaOriginWritten: return L"written";
        case VeskaOriginPersisted: return L"written, persisted";
        case VeskaOriginMachinePolicy:
        case VeskaOriginUserPolicy: {
            // The source names the policy key with its hive; one without gets
            // the hive its kind stands for.
            std::wstring key = origin.source;
            if (key.rfind(L"HKEY_", 0) != 0) {
                key = (origin.kind == VeskaOriginMachinePolicy ? L"HKEY_LOCAL_MACHINE\\"
                                                               : L"HKEY_CURRENT_USER\\") + key;
            }
            return L"policy " + key + L"; locked";
        }
        default: return L"none";
    }
}

void PrintTree(const KeyNode& node, int depth, std::wstring& out) {
    const std::wstring indent(static_cast<size_t>(depth) * 2, L' ');
    for (const ValueNode& value : node.values) {
        out += indent + Escaped(value.name) + L" = " + TypeName(value.data.vt()) + L" " +
               DisplayText(*value.data.get()) + L"  (" + Describe(value.origin) + L")\n";
    }
    for (const KeyNode& key : node.keys) {
        out += indent + Escaped(key.name) + L"\\\n";
        PrintTree(key, depth + 1, out);
    }
}

std::wstring Trimmed(std::wstring root) {
    while (!root.empty() && root.back() == L'\\') root.pop_back();
    return root;
}

void WriteOutput(const std::string& output, const void* data, size_t size) {
    if (output.empty()) {
        if (!OutBytes(data, size)) {
            throw ToolError(kExitFailure, L"writing standard output",
                            HRESULT_FROM_WIN32(::GetLastError()));
        }
        return;
    }
    const std::wstring path = Wide(output);
    const veska::UniqueFile file = veska::UniqueFile::Adopt(::CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw ToolError(kExitFailure, L"creating " + path, HRESULT_FROM_WIN32(::GetLastError()));
    }
    DWORD written = 0;
    if (!::WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) ||
        written != size) {
        throw ToolError(kExitFailure, L"writing " + path, HRESULT_FROM_WIN32(::GetLastError()));
    }
}

// Says that a change without --persist ends with this process.
void NoteCacheOnly(bool persist) {
    if (!persist) {
        Note(
            L"without --persist the change reaches only this process's cache and ends with it; "
            L"the registry is unchanged");
    }
}

// A missing key or value as the reason a member failed, or the failure itself.
[[noreturn]] void ThrowMissingOr(OptionsSession& session, const std::wstring& path,
                                 const std::wstring& name, HRESULT hr, const std::wstring& what) {
    if (!session.HasKey(path)) {
        throw ToolError(kExitNotFound, L"PATH \"" + path + L"\" is not in the options tree");
    }
    UniqueVariant value;
    if (FAILED(session.GetValue(path, name, value))) {
        throw ToolError(kExitNotFound, L"no value \"" + name + L"\" at \"" + path + L"\"");
    }
    throw ToolError(kExitFailure, what, hr);
}

// Refuses a change of a value an administrator's policy sets, naming the key
// the policy comes from; the store would refuse it with E_ACCESSDENIED.
void ThrowIfLocked(OptionsSession& session, const std::wstring& path, const std::wstring& name) {
    IVeskaOptionsPolicy* policy = session.Policy();
    if (policy == nullptr) return;
    UniqueBstr pathText = CopyBstr(path.c_str(), static_cast<UINT>(path.size()));
    UniqueBstr nameText = CopyBstr(name.c_str(), static_cast<UINT>(name.size()));
    VARIANT_BOOL locked = VARIANT_FALSE;
    if (FAILED(policy->IsLocked(pathText.get(), nameText.get(), &locked)) || !locked) return;
    std::wstring source = L"set by policy";
    if (session.Diagnostics() != nullptr) source = L"set by " + Describe(session.OriginOf(path, name));
    throw ToolError(kExitFailure, L"\"" + name + L"\" at \"" + path + L"\" is " + source +
                                      L": only an administrator can change it, through that policy");
}

int Show(const Arguments& args) {
    OptionsSession session;
    const std::wstring root = Wide(args.root);
    session.Init(args.mainKey, root);
    const KeyNode tree = session.ReadTree(Wide(args.path), true);
    std::wstring out = std::wstring(HiveOf(args.mainKey).name) + L"\\" +
                       JoinPath(Trimmed(root), Wide(args.path)) + L"\n";
    PrintTree(tree, 1, out);
    Out(out);
    return kExitOk;
}

int Get(const Arguments& args) {
    OptionsSession session;
    session.Init(args.mainKey, Wide(args.root));
    const std::wstring path = Wide(args.path), name = Wide(args.name);
    UniqueVariant value;
    const HRESULT hr = session.GetValue(path, name, value);
    if (FAILED(hr)) ThrowMissingOr(session, path, name, hr, L"GetValueByName");
    Out(DataText(*value.get()) + L"\n");
    return kExitOk;
}

int Set(const Arguments& args) {
    OptionsSession session;
    session.Init(args.mainKey, Wide(args.root));
    const std::wstring path = Wide(args.path), name = Wide(args.name);
    UniqueVariant value = ValueFromText(Wide(args.value), Wide(args.type));
    UniqueBstr pathText = CopyBstr(path.c_str(), static_cast<UINT>(path.size()));
    UniqueBstr nameText = CopyBstr(name.c_str(), static_cast<UINT>(name.size()));
    UniqueVariant existing;
    const bool exists = SUCCEEDED(session.GetValue(path, name, existing));
    if (exists) ThrowIfLocked(session, path, name);
    // A new value is added, so that one without --persist can be made too.
    const HRESULT hr = exists ? session.Options()->SetValueByName(pathText.get(), nameText.get(),
                                                                  value.get(), args.persist, 1)
                              : session.Options()->AddValueByName(pathText.get(), nameText.get(),
                                                                  value.get(), args.persist);
    if (FAILED(hr)) {
        if (hr == E_ACCESSDENIED) ThrowIfLocked(session, path, name);
        if (!session.HasKey(path)) {
            throw ToolError(kExitNotFound, L"PATH \"" + path + L"\" is not in the options tree");
        }
        throw ToolError(kExitFailure, exists ? L"SetValueByName" : L"AddValueByName", hr);
    }
    if (hr == S_FALSE) Note(L"the registry refused the value: it is in the cache only");
    UniqueVariant stored;
    ThrowIfFailed(session.GetValue(path, name, stored), L"GetValueByName");
    Out(Escaped(name) + L" = " + TypeName(stored.vt()) + L" " + DisplayText(*stored.get()) + L"\n");
    NoteCacheOnly(args.persist);
    return kExitOk;
}

int Remove(const Arguments& args) {
    OptionsSession session;
    session.Init(args.mainKey, Wide(args.root));
    const std::wstring path = Wide(args.path), name = Wide(args.name);
    UniqueVariant existing;
    const HRESULT found = session.GetValue(path, name, existing);
    if (FAILED(found)) ThrowMissingOr(session, path, name, found, L"GetValueByName");
    ThrowIfLocked(session, path, name);
    UniqueBstr pathText = CopyBstr(path.c_str(), static_cast<UINT>(path.size()));
    UniqueBstr nameText = CopyBstr(name.c_str(), static_cast<UINT>(name.size()));
    ThrowIfFailed(
        session.Options()->RemoveValueByName(pathText.get(), nameText.get(), args.persist),
        L"RemoveValueByName");
    NoteCacheOnly(args.persist);
    return kExitOk;
}

int Export(const Arguments& args) {
    OptionsSession session;
    const std::wstring root = Wide(args.root);
    session.Init(args.mainKey, root);
    const KeyNode tree = session.ReadTree(L"", false);
    if (args.format == "reg") {
        const std::wstring text = ExportReg(tree, Trimmed(root));
        const std::string bytes = std::string(veska::kUtf16LeMark) + veska::Utf16LeBytes(text);
        WriteOutput(args.output, bytes.data(), bytes.size());
    } else {
        const std::string json = ExportJson(tree, HiveOf(args.mainKey).name, root);
        WriteOutput(args.output, json.data(), json.size());
    }
    return kExitOk;
}

int Check(const Arguments& args) {
    OptionsSession session;
    std::vector<std::wstring> paths;
    for (const std::string& file : args.files) paths.push_back(Wide(file));
    return CheckSettingsFiles(session, paths);
}

int Admx(const Arguments& args) {
    AdmxRequest request{{}, Wide(args.output), Wide(args.targetNamespace), Wide(args.root),
                        Wide(args.policyClass)};
    for (const std::string& file : args.files) request.files.push_back(Wide(file));
    return WriteAdministrativeTemplates(request);
}

int Run(std::vector<std::string> argv) {
    Arguments args;
    CLI::App app{
        "Shows, checks, changes and exports the options tree that VeskaOptions.dll "
        "caches, through its registered classes.",
        "veskaopt"};
    app.footer(kExitStatuses);
    app.set_version_flag("--version", VESKA_VERSION_STRING);
    app.require_subcommand(1, 1);

    CLI::App* show = app.add_subcommand(
        "show",
        "Print the tree below PATH as the cache holds it after Init, each value with its "
        "type, data and origin (registry, settings file, written).");
    AddHive(show, args);
    AddRoot(show, args);
    show->add_option("PATH", args.path, "key below ROOT (default: ROOT itself)");

    CLI::App* check = app.add_subcommand(
        "check",
        "Check settings files by the merge's rules and against VeskaSettings.xsd. "
        "Problems print as file:line:col: error|warning: message (line and column "
        "left out where unknown); schema warnings do not change the exit status.");
    check->add_option(
        "FILE|FOLDER", args.files,
        "settings files or folders (every *.xml); default: the DLL's settings folder");

    CLI::App* admx = app.add_subcommand(
        "admx",
        "Write administrative templates (FOLDER\\<name>.admx and FOLDER\\en-US\\<name>.adml, "
        "<name> the last part of --namespace) that describe every value of the settings "
        "files as a policy below the policy key of --root (Software\\Policies\\ and ROOT "
        "without its leading Software\\): BOOL as a switch, whole numbers as a number field "
        "with the type's range from 0, other types as text; keys become categories.");
    admx->add_option("FILE|FOLDER", args.files, "settings files or folders (every *.xml)")
        ->required();
    admx->add_option("--out", args.output, "folder the templates are written to")->required();
    admx->add_option("--namespace", args.targetNamespace,
                     "the templates' namespace, e.g. Corvane.Policies.VeskaDemo")
        ->required();
    admx->add_option("--root", args.root,
                     "the root the application gives Init, e.g. \"Software\\Corvane "
                     "Interactive\\VeskaDemo\" (settings files do not name it)")
        ->required();
    admx->add_option("--class", args.policyClass,
                     "where the policies apply: Both (default), Machine or User")
        ->check(CLI::IsMember({"Both", "Machine", "User"}));

    CLI::App* get = app.add_subcommand("get", "Print the data of one value (GetValueByName).");
    CLI::App* set = app.add_subcommand(
        "set",
        "Set a value (SetValueByName; AddValueByName when it does not exist yet) and "
        "print it as the cache stores it.");
    CLI::App* remove = app.add_subcommand("remove", "Remove a value (RemoveValueByName).");
    for (CLI::App* command : {get, set, remove}) {
        AddHive(command, args);
        AddRoot(command, args);
        command->add_option("PATH", args.path, "key below ROOT (\"\" for ROOT itself)")->required();
        command->add_option("NAME", args.name, "value name")->required();
    }
    set->add_option("VALUE", args.value, "the value's text")->required();
    set->add_option(
        "--type", args.type,
        "type VALUE is converted to: STRING (default), I4, BOOL, I1, I2, I8, INT, "
        "UINT, R4, R8, DATE (the store keeps I2, I4 and BOOL as I4, the rest as STRING)");
    AddPersist(set, args, "also write the value below HKEY_CURRENT_USER\\ROOT (ChangeDefault)");
    AddPersist(remove, args, "also delete the value below HKEY_CURRENT_USER\\ROOT (ChangeDefault)");

    CLI::App* exportCommand = app.add_subcommand(
        "export",
        "Write the tree as JSON, or as a registry file (UTF-16, \"Windows Registry "
        "Editor Version 5.00\") for HKEY_CURRENT_USER\\ROOT, whatever the hive read.");
    AddHive(exportCommand, args);
    AddRoot(exportCommand, args);
    exportCommand->add_option("--format", args.format, "json (default) or reg")
        ->check(CLI::IsMember({"json", "reg"}));
    exportCommand->add_option("-o,--output", args.output,
                              "file to write (default: standard output)");

    CLI::App* watch = app.add_subcommand(
        "watch",
        "Follow the changes other programs make to the registry below ROOT and to the "
        "settings files: one line per event (added, changed, removed, kept: an edit of "
        "this process stays) until Ctrl+C, --count events or --timeout seconds.");
    AddHive(watch, args);
    AddRoot(watch, args);
    watch->add_option("PATH", args.path, "report only the keys at and below PATH");
    watch->add_option("--count", args.count, "stop after N events")->check(CLI::NonNegativeNumber);
    watch->add_option("--timeout", args.seconds, "stop after S seconds")->check(CLI::NonNegativeNumber);

    for (CLI::App* command : app.get_subcommands({})) command->footer(kExitStatuses);

    // CLI11 would first complain of the missing command; name the unknown one.
    const auto commands = app.get_subcommands([&argv](const CLI::App* command) {
        return argv.size() > 1 && command->get_name() == argv[1];
    });
    if (argv.size() > 1 && !argv[1].empty() && argv[1][0] != '-' && commands.empty()) {
        Err("veskaopt: unknown command \"" + argv[1] +
            "\" (show, check, get, set, remove, export, watch, admx; --help lists them)\n");
        return kExitUsage;
    }
    std::vector<const char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(arg.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        const int code = app.exit(e, out, err);
        Out(out.str());
        Err(err.str());
        return code == 0 ? kExitOk : kExitUsage;
    }

    if (*show) return Show(args);
    if (*check) return Check(args);
    if (*admx) return Admx(args);
    if (*get) return Get(args);
    if (*set) return Set(args);
    if (*remove) return Remove(args);
    if (*watch) {
        OptionsSession session;
        session.Init(args.mainKey, Wide(args.root));
        return WatchEvents(session, Wide(args.path), args.count, args.seconds);
    }
    return Export(args);
}

}  // namespace
}  // namespace veskaopt

int main() {
    using namespace veskaopt;
    const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status = kExitFailure;
    try {
        if (FAILED(initialized)) throw ToolError(kExitFailure, L"CoInitializeEx", initialized);
        status = Run(Utf8Arguments());
    } catch (const ToolError& e) {
        std::wstring text = L"veskaopt: " + e.Message();
        if (e.Code() != S_OK) text += L": " + DescribeHresult(e.Code());
        Err(text + L"\n");
        status = e.Status();
    } catch (const veska::HResultError& e) {
        Err(L"veskaopt: " + DescribeHresult(e.Code()) + L"\n");
        status = kExitFailure;
    } catch (const std::exception& e) {
        Err(std::string("veskaopt: ") + e.what() + "\n");
        status = kExitFailure;
    }
    if (SUCCEEDED(initialized)) ::CoUninitialize();
    return status;
}
