' Watches the fax device: checks that it answers, then waits for received-fax
' events and reports each one, until the wait is released (by fax-cancel.js
' or any other program calling CancelIO) or fails.
'
'   cscript //nologo fax-watch.vbs [events]
'
' events: how many events to wait for (default: until released). A script
' reads each method's status result; the [out] values (the event kind, the
' count) need a compiled host, so each argument is passed in parentheses, by
' value. Exit status: 0 after the events asked for, otherwise the last status.
Option Explicit

Dim names
names = Array("OK", "BUSY", "CMD_FAIL", "NO_RESPONSE", "INVALIDARGE", "NULLPOINTER", _
              "BADSTATUS", "NO_DEVICE", "READ", "WRITE", "MEMALLOC", "DISKFULL")

Function StatusText(status)
    If status >= 0 And status <= UBound(names) Then
        StatusText = "FAXSTATUS_" & names(status) & " (" & status & ")"
    Else
        StatusText = "status " & status
    End If
End Function

Dim wanted, fax, status, seen
wanted = -1
If WScript.Arguments.Count > 0 Then wanted = CLng(WScript.Arguments(0))

Set fax = CreateObject("Tessaline.USBFAX")

' Any command the device answers shows it is there and free.
status = fax.GetReceivedFaxCount((0))
WScript.Echo "device: " & StatusText(status)
If status <> 0 Then WScript.Quit status

seen = 0
Do While wanted < 0 Or seen < wanted
    WScript.Echo "waiting for a received-fax event"
    status = fax.WaitForReceivedFax((0))
    If status <> 0 Then
        WScript.Echo "wait ended: " & StatusText(status)
        WScript.Quit status
    End If
    seen = seen + 1
    WScript.Echo "event " & seen & ": the device reported a fax event"
Loop
WScript.Quit 0
