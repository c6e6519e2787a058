' The automation objects as a script host uses them: created by ProgID and
' called through IDispatch. Run by tests/windows/wine_step.sh as
'   cscript objects.vbs pipe     the simulated device behind the pipes named by
'                                TESSALINE_FAX_DEVICE and TESSALINE_EWS_DEVICE
'   cscript objects.vbs driver   the simulated device through its driver, found
'                                by discovery
'   cscript objects.vbs absent   no device present
' A script passes the methods' [out] arguments by value, so it sees their
' status results only. A script error ends the host silently, so the last
' line, "N passed, M failed", is the verdict; the exit code is M.
Option Explicit
Dim passed, failed, mode
passed = 0
failed = 0
mode = WScript.Arguments(0)

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL " & mode & ": " & what
    End If
End Sub

' The status each kind of call gets from the device of this run.
Dim operation, cancel, opening
Select Case mode
    Case "pipe"
        ' The pipe takes no device-control request: the cancel reaches the
        ' channel and reports the failed request.
        operation = 0 : cancel = 2 : opening = 0
    Case "driver"
        operation = 0 : cancel = 0 : opening = 0
    Case "absent"
        ' Nothing found: no device, and for the cancel a null handle.
        operation = 7 : cancel = 5 : opening = 7
End Select

Dim fax, ews, status, count, flag

Set fax = CreateObject("Tessaline.USBFAX")
Check TypeName(fax) = "IUSBFAX", "TypeName of Tessaline.USBFAX: " & TypeName(fax)
count = 0
status = fax.GetReceivedFaxCount((count))
Check status = operation, "GetReceivedFaxCount: " & status
flag = 0
status = fax.CheckFaxPasswordSet((flag))
Check status = operation, "CheckFaxPasswordSet: " & status
status = fax.CancelIO()
Check status = cancel, "CancelIO: " & status
Set fax = Nothing

Set fax = CreateObject("Tessaline.USBFAX.1")
Check TypeName(fax) = "IUSBFAX", "TypeName of Tessaline.USBFAX.1: " & TypeName(fax)
Set fax = Nothing

Set ews = CreateObject("Tessaline.IUSBEWS")
Check TypeName(ews) = "IIUSBEWS", "TypeName of Tessaline.IUSBEWS: " & TypeName(ews)
status = ews.OpenEWS()
Check status = opening, "OpenEWS: " & status
status = ews.CloseEWS()
Check status = 0, "CloseEWS: " & status
Set ews = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
