' The automation objects as a script host uses them: created by ProgID and
' called through IDispatch. Run by scripts/test-windows.sh with the simulated
' device serving the pipes named by TESSALINE_FAX_DEVICE and
' TESSALINE_EWS_DEVICE. A script error ends the host silently, so the last
' line, "N passed, M failed", is the verdict; the exit code is M.
Option Explicit
Dim passed, failed
passed = 0
failed = 0

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL " & what
    End If
End Sub

Dim fax, ews, status

Set fax = CreateObject("Tessaline.USBFAX")
Check TypeName(fax) = "IUSBFAX", "TypeName of Tessaline.USBFAX: " & TypeName(fax)
' The pipe takes no device-control request: the cancel reaches the channel
' and reports the failed request.
status = fax.CancelIO()
Check status = 2, "CancelIO: " & status
Set fax = Nothing

Set fax = CreateObject("Tessaline.USBFAX.1")
Check TypeName(fax) = "IUSBFAX", "TypeName of Tessaline.USBFAX.1: " & TypeName(fax)
Set fax = Nothing

Set ews = CreateObject("Tessaline.IUSBEWS")
Check TypeName(ews) = "IIUSBEWS", "TypeName of Tessaline.IUSBEWS: " & TypeName(ews)
status = ews.OpenEWS()
Check status = 0, "OpenEWS: " & status
status = ews.CloseEWS()
Check status = 0, "CloseEWS: " & status
Set ews = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
