// The identities of the platform's XML parser (version 6.0) that the XML data
// component and the settings checker create and ask for, in one place. The
// platform's own headers of this toolchain stop before version 6.0.
#pragma once

#include <windows.h>

// {88D96A05-F192-11D4-A65F-0040963251E5} "Msxml2.DOMDocument.6.0"
inline constexpr CLSID kClsidDomDocument60 = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
// {88D96A07-F192-11D4-A65F-0040963251E5} "Msxml2.XMLSchemaCache.6.0"
inline constexpr CLSID kClsidXmlSchemaCache60 = {
    0x88d96a07, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
// {88D96A0C-F192-11D4-A65F-0040963251E5} "Msxml2.SAXXMLReader.6.0"
inline constexpr CLSID kClsidSaxReader60 = {
    0x88d96a0c, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};

// {2933BF95-7B36-11D2-B20E-00C04F983E60} IXMLDOMDocument2
inline constexpr IID kIidXmlDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
// {373984C8-B845-449B-91E7-45AC83036ADE} IXMLDOMSchemaCollection
inline constexpr IID kIidXmlDomSchemaCollection = {
    0x373984c8, 0xb845, 0x449b, {0x91, 0xe7, 0x45, 0xac, 0x83, 0x03, 0x6a, 0xde}};
// {A4F96ED0-F829-476E-81C0-CDC7BD2A0802} ISAXXMLReader
inline constexpr IID kIidSaxXmlReader = {
    0xa4f96ed0, 0xf829, 0x476e, {0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08, 0x02}};
// {A60511C4-CCF5-479E-98A3-DC8DC545B7D0} ISAXErrorHandler
inline constexpr IID kIidSaxErrorHandler = {
    0xa60511c4, 0xccf5, 0x479e, {0x98, 0xa3, 0xdc, 0x8d, 0xc5, 0x45, 0xb7, 0xd0}};
// {1545CDFA-9E4E-4497-A8A4-2BF7D0112C44} ISAXContentHandler
inline constexpr IID kIidSaxContentHandler = {
    0x1545cdfa, 0x9e4e, 0x4497, {0xa8, 0xa4, 0x2b, 0xf7, 0xd0, 0x11, 0x2c, 0x44}};
