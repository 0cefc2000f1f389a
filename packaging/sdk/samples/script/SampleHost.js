// A late-bound JScript host of VeskaOptions: creates both classes by ProgID,
// writes a value below HKEY_CURRENT_USER and reads it back.
//   cscript //nologo SampleHost.js
var root = "Software\\Corvane Interactive\\VeskaSdkSample";

var options = new ActiveXObject("Corvane.VeskaOptions.1");
options.Init(1, root);                                          // 1: HKEY_CURRENT_USER
try { options.AddKey("Sample", 1); } catch (e) {}               // fails when the key is there already
options.SetValueByName("Sample", "Greeting", "Hello from JScript", 1);  // 1: write the registry too
WScript.Echo("VeskaOptions: Sample\\Greeting = " + options.GetValueByName("Sample", "Greeting"));

var provider = new ActiveXObject("Corvane.PropertyProvider.1");
try {
    provider.RegisterObject(options);   // refused: the options object has no pages
    WScript.Echo("PropertyProvider: RegisterObject(options) = 0x0");
} catch (e) {
    WScript.Echo("PropertyProvider: RegisterObject(options) = 0x" + (e.number >>> 0).toString(16).toUpperCase());
}

var shell = new ActiveXObject("WScript.Shell");
shell.RegDelete("HKCU\\" + root + "\\Sample\\");
shell.RegDelete("HKCU\\" + root + "\\");
