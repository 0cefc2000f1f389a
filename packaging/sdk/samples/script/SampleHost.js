// A late-bound JScript host of VeskaOptions: creates both classes by ProgID,
// writes a value below HKEY_CURRENT_USER and reads it back.
//   cscript //nologo SampleHost.js
var root = "Software\\Corvane Interactive\\VeskaSdkSample";

var options = new ActiveXObject("Corvane.VeskaOptions.1");
options.Init(1, root);                                          // 1: HKEY_CURRENT_USER
try { options.AddKey("Sample", 1); } catch (e) {}               // fails when the key is there already
options.SetValueByName("Sample", "Greeting", "Hello from JScript", 1);  // 1: write the registry too
WScript.Echo("VeskaOptions: Sample\\Greeting = " + options.GetValueByName("Sample", "Greeting"));

// The provider pools the pages of objects that announce property pages; the
// options object announces none, so the provider refuses it with E_NOINTERFACE.
var provider = new ActiveXObject("Corvane.PropertyProvider.1");
try {
    provider.RegisterObject(options);
    WScript.Echo("PropertyProvider: RegisterObject(options) succeeded, though the options object has no pages");
} catch (e) {
    var code = (e.number >>> 0).toString(16).toUpperCase();
    WScript.Echo(code == "80004002"
        ? "PropertyProvider: RegisterObject(options) refused, as it should be: the options object " +
          "announces no property pages (E_NOINTERFACE, which JScript reports as 0x80004002)"
        : "PropertyProvider: RegisterObject(options) failed with 0x" + code + ", not E_NOINTERFACE");
}

var shell = new ActiveXObject("WScript.Shell");
shell.RegDelete("HKCU\\" + root + "\\Sample\\");
shell.RegDelete("HKCU\\" + root + "\\");
