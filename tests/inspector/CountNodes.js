// Parses an XML file with the platform's parser and prints, for each XPath
// given, the number of nodes it selects, one number a line; "p:" names the
// administrative templates' namespace. Prints "parse error: ..." and exits 1
// when the file is not well-formed.
// Usage: cscript //nologo CountNodes.js FILE XPATH...
var args = WScript.Arguments;
var document = new ActiveXObject("Msxml2.DOMDocument.6.0");
document.async = false;
document.setProperty("SelectionLanguage", "XPath");
document.setProperty("SelectionNamespaces",
    "xmlns:p='http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'");
if (!document.load(args(0))) {
    WScript.Echo("parse error: " + document.parseError.reason);
    WScript.Quit(1);
}
for (var i = 1; i < args.length; i++) WScript.Echo(document.selectNodes(args(i)).length);
