#include "options/DefaultSettings.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "com/ModuleLock.h"
#include "options/ValueOrigin.h"
#include "support/ModulePath.h"
#include "support/Folding.h"
#include "support/HresultText.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace veska {

namespace {

std::wstring_view BstrView(BSTR text) noexcept {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// The component's reason for the last failure, without the line break and full
// stop the parser ends it with.
std::wstring LoadReason(IXMLDataDocument* document) {
    UniqueBstr reason;
    if (FAILED(document->GetParseError(reason.put()))) return std::wstring();
    std::wstring text(BstrView(reason.get()));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.')) {
        text.pop_back();
    }
    return text;
}

// Fills row with why the component did not load the file: its LoadFile failed
// with hr.
void DescribeLoadFailure(IXMLDataDocument* document, HRESULT hr, SettingsFileRow& row) {
    const std::wstring reason = LoadReason(document);
    if (hr == XMLDATA_E_DTD_PROHIBITED) {
        row.result = SettingsFileResult::Refused;
        row.message = L"the file holds a document type definition (DOCTYPE), which is refused";
    } else if (hr == HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)) {
        ULONG limit = 0;
        row.result = SettingsFileResult::Refused;
        row.message = L"the file is larger than the size limit";
        if (SUCCEEDED(document->GetMaxFileSize(&limit))) {
            row.message += L" of " + std::to_wstring(limit) + L" bytes";
        }
    } else if (hr == XMLDATA_E_UNSUPPORTED_ENCODING) {
        row.message = L"the file's encoding is not supported (UTF-8, UTF-16, US-ASCII, "
                      L"ISO-8859-n and windows-125n are)";
    } else if (HRESULT_FACILITY(hr) == FACILITY_WIN32 || hr == E_INVALIDARG) {
        row.message = L"the file is unreadable (" + DescribeHresult(hr) + L")";
        if (!reason.empty()) row.message += L": " + reason;
    } else {
        row.message = L"the XML is not well-formed";
        if (!reason.empty()) row.message += L": " + reason;
        // The position comes from the component's second interface, where it has one.
        ComPtr<IXMLDataDocument2> positions;
        LONG line = 0;
        LONG column = 0;
        if (SUCCEEDED(document->QueryInterface(__uuidof(IXMLDataDocument2), positions.put_void())) &&
            positions && SUCCEEDED(positions->GetParseErrorPosition(&line, &column))) {
            row.line = line;
            row.column = column;
        }
    }
}

// Reads, checks and merges one settings file into root, filling row (whose path
// is set) with the outcome, which it also returns. Values it merges get file as
// their origin's file index.
SettingsFileResult MergeSettingsFile(OpsInfo& root, SettingsFileRow& row, std::uint16_t file) {
    row.result = SettingsFileResult::Failed;
    CLSID clsid;
    if (FAILED(::CLSIDFromProgID(kXmlDataProgId, &clsid))) {
        row.message = std::wstring(L"the XML data component ") + kXmlDataProgId +
                      L" is not registered";
        return row.result;
    }
    ComPtr<IXMLDataDocument> document;
    const HRESULT created = ::CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                                               __uuidof(IXMLDataDocument), document.put_void());
    if (FAILED(created) || !document) {
        row.message = L"the XML data component cannot be created (" + DescribeHresult(created) + L")";
        return row.result;
    }
    UniqueBstr filePath = CopyBstr(row.path.data(), static_cast<UINT>(row.path.size()));
    const HRESULT loaded = document->LoadFile(filePath.get());
    if (FAILED(loaded)) {
        DescribeLoadFailure(document.get(), loaded, row);
        return row.result;
    }
    ComPtr<IXMLDataNode> element;
    UniqueBstr tag;
    if (FAILED(document->GetRootElement(element.put())) || !element ||
        FAILED(element->GetTagName(tag.put()))) {
        row.message = L"the document's root element cannot be read";
        return row.result;
    }
    if (CompareFolded(BstrView(tag.get()), L"OxaTest") != 0) {
        row.line = ElementLine(element.get());
        row.message = L"the root element is <" + std::wstring(BstrView(tag.get())) +
                      L">, not <OxaTest>";
        return row.result;
    }
    MergeRecord record;
    record.file = file;
    const HRESULT merged = MergeSettingsElement(root, element.get(), &record);
    if (merged == S_OK) {
        row.result = SettingsFileResult::Merged;
        return row.result;
    }
    row.line = record.line;
    row.message = !record.firstFailure.empty()
                      ? std::move(record.firstFailure)
                      : L"the document's elements cannot be read (" + DescribeHresult(merged) + L")";
    return row.result;
}

// Merges the file at path, appending its row to rows, and returns the outcome;
// the row's index is the origin's file index of what it merges.
SettingsFileResult MergeOneFile(OpsInfo& root, std::wstring path, SettingsFileRows& rows) {
    const std::size_t index = rows.size();
    rows.emplace_back();
    rows.back().path = std::move(path);
    const std::uint16_t file =
        static_cast<std::uint16_t>(index < kLastOriginFile ? index : kLastOriginFile);
    return MergeSettingsFile(root, rows.back(), file);
}
}  // namespace

const wchar_t* SettingsResultName(SettingsFileResult result) noexcept {
    switch (result) {
        case SettingsFileResult::Merged: return L"merged";
        case SettingsFileResult::Refused: return L"refused";
        default: return L"failed";
    }
}

bool SettingsFolderPath(std::wstring& folder) {
    const std::wstring modulePath = ModulePath(LibraryModule());
    if (modulePath.empty()) return false;
    wchar_t path[MAX_PATH];
    ::lstrcpynW(path, modulePath.c_str(), MAX_PATH);
    ::PathRemoveFileSpecW(path);  // the library's folder
    ::PathRemoveFileSpecW(path);  // its parent
    if (!::PathAppendW(path, L"Dat\\Settings\\")) return false;
    folder = path;
    return true;
}

HRESULT MergeSettingsFiles(OpsInfo& root, const std::wstring& path, bool folder,
                           SettingsFileRows* rows) {
    SettingsFileRows ownRows;
    SettingsFileRows& table = rows != nullptr ? *rows : ownRows;
    if (!folder) {
        return MergeOneFile(root, path, table) == SettingsFileResult::Merged ? S_OK : S_FALSE;
    }
    std::wstring prefix = path;
    if (!prefix.empty() && prefix.back() != L'\\' && prefix.back() != L'/') prefix += L'\\';
    WIN32_FIND_DATAW found;
    UniqueFindHandle search =
        UniqueFindHandle::Adopt(::FindFirstFileW((prefix + L"*.xml").c_str(), &found));
    if (!search) return S_OK;
    HRESULT merged = S_OK;
    do {
        if (MergeOneFile(root, prefix + found.cFileName, table) != SettingsFileResult::Merged) {
            merged = S_FALSE;
        }
    } while (::FindNextFileW(search.get(), &found));
    return merged;
}

HRESULT LoadDefaultSettings(OpsInfo& root, SettingsFileRows* rows) {
    std::wstring folder;
    if (!SettingsFolderPath(folder)) return S_FALSE;
    return MergeSettingsFiles(root, folder, true, rows);
}

}  // namespace veska
