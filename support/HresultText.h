// HRESULTs in words, for the messages of the library and of veskaopt: the
// platform's text where it has one, else our own for the codes the platform
// leaves without (the automation conversions', the XML parsers' and the XML
// data component's).
#pragma once

#include <windows.h>

#include <string>

namespace veska {

// "0x80070005 Access is denied": the code in hex and its text, without the
// line break and full stop the platform ends it with.
std::wstring DescribeHresult(HRESULT hr);

// The text alone; empty when neither the platform nor our table has one.
std::wstring HresultText(HRESULT hr);

}  // namespace veska
