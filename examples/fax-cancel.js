// Releases every caller that is waiting on the fax device (such as
// fax-watch.vbs in another window) and checks the device's EWS channel.
//
//   cscript //nologo fax-cancel.js
//
// CancelIO fails the requests pending on the device; any USBFAX object in
// any process serves. The EWS channel is opened and closed again to show that
// it can be reached. Exit status: the cancel's status, or 10 + the EWS
// channel's status when only that failed.
var names = ["OK", "BUSY", "CMD_FAIL", "NO_RESPONSE", "INVALIDARGE", "NULLPOINTER",
             "BADSTATUS", "NO_DEVICE", "READ", "WRITE", "MEMALLOC", "DISKFULL"];

function statusText(status) {
    return status >= 0 && status < names.length ? "FAXSTATUS_" + names[status] + " (" + status + ")"
                                                : "status " + status;
}

var fax = new ActiveXObject("Tessaline.USBFAX");
var cancelled = fax.CancelIO();
WScript.Echo("cancel: " + statusText(cancelled));

var ews = new ActiveXObject("Tessaline.IUSBEWS");
var opened = ews.OpenEWS();
WScript.Echo("EWS channel open: " + statusText(opened));
if (opened == 0) WScript.Echo("EWS channel close: " + statusText(ews.CloseEWS()));

WScript.Quit(cancelled != 0 ? cancelled : opened != 0 ? 10 + opened : 0);
