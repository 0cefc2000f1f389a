#include "inspector/SettingsCheck.h"

#include <msxml2.h>

#include "inspector/Console.h"
#include "support/MsxmlIds.h"
#include "support/Owners.h"

namespace veskaopt {

using veska::ComPtr;
using veska::CopyBstr;
using veska::UniqueBstr;
using veska::UniqueVariant;

namespace {

const wchar_t kSchemaName[] = L"VeskaSettings.xsd";

// "file:line:col: " with the parts that are known (line and column 0 are not).
std::wstring Location(const std::wstring& file, long line, long column) {
    std::wstring result = file;
    if (line > 0) {
        result += L":" + std::to_wstring(line);
        if (column > 0) result += L":" + std::to_wstring(column);
    }
    return result + L": ";
}

// One line of text: line breaks become spaces, trailing blanks go.
std::wstring OneLine(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\r' || c == L'\n' || c == L'\t') c = L' ';
    }
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length < MAX_PATH ? length : 0);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

HRESULT SetProperty(IXMLDOMDocument2* document, const wchar_t* name, VARIANT value) {
    UniqueBstr property = CopyBstr(name);
    return document->setProperty(property.get(), value);
}

VARIANT BoolVariant(bool value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// Validates settings files against the schema beside veskaopt.exe. When the
// schema or the parser's schema support is missing, says so once and then
// stays silent.
class SchemaValidator {
public:
    SchemaValidator() {
        const std::wstring schema = ProgramFolder() + kSchemaName;
        if (::GetFileAttributesW(schema.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Note(L"no schema check: " + schema + L" is missing");
            return;
        }
        HRESULT hr = ::CoCreateInstance(kClsidXmlSchemaCache60, nullptr, CLSCTX_INPROC_SERVER,
                                        kIidXmlDomSchemaCollection, cache_.put_void());
        if (SUCCEEDED(hr)) {
            UniqueBstr noNamespace = CopyBstr(L"");
            UniqueVariant location;
            location.get()->vt = VT_BSTR;
            location.get()->bstrVal = CopyBstr(schema.c_str()).detach();
            hr = cache_->add(noNamespace.get(), *location.get());
        }
        if (FAILED(hr)) {
            cache_.reset();
            Note(L"no schema check: the platform's XML parser cannot load " + schema + L" (" +
                 DescribeHresult(hr) + L")");
        }
    }

    // Prints "file:line:col: warning: ..." for what the schema finds. A file
    // that does not parse is left to the merge's check when there is one.
    void Validate(const std::wstring& file, bool reportParseErrors) {
        if (!cache_) return;
        ComPtr<IXMLDOMDocument2> document;
        HRESULT hr = ::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                        kIidXmlDomDocument2, document.put_void());
        if (SUCCEEDED(hr)) hr = Configure(document.get());
        if (FAILED(hr)) {
            Err(file + L": warning: no schema check: the XML parser refused its settings (" +
                DescribeHresult(hr) + L")\n");
            return;
        }
        UniqueVariant path;
        path.get()->vt = VT_BSTR;
        path.get()->bstrVal = CopyBstr(file.c_str()).detach();
        VARIANT_BOOL loaded = VARIANT_FALSE;
        hr = document->load(*path.get(), &loaded);
        ComPtr<IXMLDOMParseError> error;
        if (FAILED(hr) || loaded != VARIANT_TRUE) {
            if (!reportParseErrors) return;
            document->get_parseError(error.put());
        } else {
            // Parsers that do not validate while loading do it here.
            hr = document->validate(error.put());
            if (hr == S_OK) return;
        }
        long line = 0, column = 0, code = 0;
        UniqueBstr reason;
        if (error) {
            error->get_line(&line);
            error->get_linepos(&column);
            error->get_reason(reason.put());
            error->get_errorCode(&code);
        }
        std::wstring text = OneLine(
            reason ? std::wstring(reason.get(), ::SysStringLen(reason.get())) : std::wstring());
        if (text.empty()) {
            // Some parsers give the verdict alone.
            text =
                L"does not match the settings schema (the XML parser names no reason or "
                L"position; " +
                DescribeHresult(code != 0 ? code : hr) + L")";
        }
        Out(Location(file, line, column) + L"warning: " + text + L"\n");
    }

private:
    HRESULT Configure(IXMLDOMDocument2* document) {
        RETURN_IF_FAILED(document->put_async(VARIANT_FALSE));
        RETURN_IF_FAILED(document->put_resolveExternals(VARIANT_FALSE));
        RETURN_IF_FAILED(document->put_validateOnParse(VARIANT_TRUE));
        SetProperty(document, L"ProhibitDTD", BoolVariant(true));
        VARIANT schemas;
        ::VariantInit(&schemas);
        schemas.vt = VT_DISPATCH;
        schemas.pdispVal = cache_.get();
        return document->putref_schemas(schemas);
    }

    ComPtr<IXMLDOMSchemaCollection> cache_;
};

}  // namespace

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> XmlFilesOf(const std::wstring& path) {
    if (!IsFolder(path)) return {path};
    std::wstring folder = path;
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    veska::UniqueFindHandle search =
        veska::UniqueFindHandle::Adopt(::FindFirstFileW((folder + L"*.xml").c_str(), &found));
    if (!search) return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(folder + found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
    return files;
}

int CheckSettingsFiles(OptionsSession& session, const std::vector<std::wstring>& arguments) {
    IVeskaOptionsDiagnostics* diagnostics = session.Diagnostics();
    std::vector<std::wstring> paths = arguments;
    if (paths.empty()) {
        if (diagnostics == nullptr) {
            throw ToolError(kExitFailure,
                            L"without IVeskaOptionsDiagnostics the settings folder is "
                            L"unknown: name the files or folders to check");
        }
        UniqueBstr folder;
        ThrowIfFailed(diagnostics->get_SettingsFolder(folder.put()), L"SettingsFolder");
        paths.emplace_back(folder.get() ? folder.get() : L"", ::SysStringLen(folder.get()));
        if (!IsFolder(paths.back())) {
            Out(L"no settings folder: " + paths.back() + L" does not exist\n");
            return kExitOk;
        }
    }

    SchemaValidator schema;
    int status = kExitOk;
    long checked = 0, failed = 0;
    for (const std::wstring& path : paths) {
        if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Err(L"veskaopt: " + path + L": no such file or folder\n");
            status = kExitNotFound;
            continue;
        }
        std::vector<SettingsFileRow> rows;
        if (diagnostics != nullptr) {
            UniqueBstr text = CopyBstr(path.c_str());
            UniqueVariant result;
            const HRESULT hr = diagnostics->CheckSettings(text.get(), result.put());
            if (hr == E_INVALIDARG) {
                Err(L"veskaopt: " + path + L": no such file or folder\n");
                status = kExitNotFound;
                continue;
            }
            ThrowIfFailed(hr, L"CheckSettings of " + path);
            rows = OptionsSession::ReadSettingsRows(*result.get());
        } else {
            for (std::wstring& file : XmlFilesOf(path))
                rows.push_back({std::move(file), L"", 0, 0, L""});
        }
        for (const SettingsFileRow& row : rows) {
            ++checked;
            if (diagnostics != nullptr && row.result != L"merged") {
                ++failed;
                Out(Location(row.path, row.line, row.column) + L"error: " +
                    (row.result == L"refused" ? L"refused: " : L"") +
                    OneLine(row.message.empty() ? row.result : row.message) + L"\n");
            }
            // A file the merge refused (over its size limit, say) was never
            // parsed, and the schema check, which would parse it whatever its
            // size, leaves it alone too.
            if (row.result != L"refused") schema.Validate(row.path, diagnostics == nullptr);
        }
    }
    if (diagnostics == nullptr) {
        Out(std::to_wstring(checked) + L" file(s) checked against the schema only\n");
        return status == kExitOk ? kExitFailure : status;
    }
    Out(std::to_wstring(checked) + L" file(s) checked: " + std::to_wstring(checked - failed) +
        L" would merge, " + std::to_wstring(failed) + L" would fail or be refused\n");
    if (status != kExitOk) return status;
    return failed > 0 ? kExitCheckFailed : kExitOk;
}

}  // namespace veskaopt
