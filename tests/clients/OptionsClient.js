// A late-bound JScript client of both classes. Prints one line per check and
// ends with "RESULT: PASS" or "RESULT: FAIL".
var failures = 0;
function check(condition, what) {
    WScript.Echo((condition ? "ok   " : "FAIL ") + what);
    if (!condition) failures++;
}

var shell = new ActiveXObject("WScript.Shell");
var root = WScript.Arguments(0);
var hkcu = "HKCU\\" + root + "\\";
shell.RegWrite(hkcu + "Window\\Width", 800, "REG_DWORD");

var options = new ActiveXObject("Corvane.VeskaOptions.1");
options.Init(1, root);
check(options.GetValueByName("window", "width") == 800, "a REG_DWORD reads back as a number");
options.SetValueByName("Window", "Title", "Main", 1);
check(shell.RegRead(hkcu + "Window\\Title") == "Main", "a new value with ChangeDefault reaches the registry");
check(options.Dirty == false, "creating a value leaves Dirty alone");
options.SetValueByName("Window", "Width", 1024, 0, 0);
check(options.Dirty == false, "SetDirtyBit 0 leaves Dirty alone");
check(options.GetValueByName("Window", "Width") == 1024, "the cache has the new width");
var values = new VBArray(options.GetValues("Window"));
check(values.ubound(2) == 1 && values.getItem(0, 0) == "title" && values.getItem(1, 1) == 1024,
      "GetValues without its reference gives the array as the result");
check(options.GetKeys("Window") === undefined, "GetKeys of a key without keys gives nothing");

var threw = false;
try { options.Init(1, root); } catch (e) { threw = true; }
check(threw, "a second Init fails");

var provider = new ActiveXObject("Corvane.PropertyProvider.1");
var refused = 0;
try { provider.RegisterObject(options); } catch (e) { refused = e.number; }
check(refused == -2147467262, "an object without pages is refused with E_NOINTERFACE");

WScript.Echo(failures == 0 ? "RESULT: PASS" : "RESULT: FAIL");
