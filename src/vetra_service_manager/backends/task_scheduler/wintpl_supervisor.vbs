Option Explicit

' Supervisor for one service process, run by wscript.exe from the service's scheduled task.
' It starts the service hidden, keeps exactly one instance alive, restarts it after it ends and
' removes the processes it leaves behind.
'
' Process liveness is tri-state. A WMI failure is never read as "the process is gone": a
' supervisor that did so would conclude that its child died, fail to kill anything over the same
' broken connection, and start a duplicate. While WMI is silent the supervisor waits and changes
' nothing: no kill, no deletion of the PID file, no new start.
'
' The PID file holds one line, "pid" or "pid,creation date" (the WMI date text), and outlives a
' killed supervisor so that the next one can find and remove a leftover instance.
'
' Error handling: VBScript has no structured exceptions, so every call that may fail runs between
' "On Error Resume Next" and "On Error GoTo 0", and the Err fields are read before any other call.

Dim objWMI, objFSO, objShell, dictLogSeen
Dim strPidFile, strLogFile, strCommand, strWorkDir, intThrottleSeconds
Dim blnWMIOk, lngOwnPid, lngProbePid
Dim intPID, strCreationDate, arrChild, dictChildren, childPid, blnStartedUnseen, objTracked

' --- CONFIGURATION ---
strCommand = "{executable}"
strPidFile = "{pid_file}"
strLogFile = "{log_file}"
strWorkDir = "{working_dir}"
intThrottleSeconds = 60
' ---------------------

Const PROC_DEAD = 0
Const PROC_ALIVE = 1
Const PROC_UNKNOWN = -1
Const WMI_TRIES = 3
Const WMI_RETRY_MS = 2000
Const WMI_WAIT_MS = 5000
Const WBEM_E_NOT_FOUND = &H80041002
' wbemFlagForwardOnly + wbemFlagReturnImmediately: WMI hands rows over as it finds them and keeps
' none for a second pass, which no query here makes.
Const WBEM_QUERY_FLAGS = 48
' In a query's list of properties: the WMI object itself, so that a process is ended through the
' very object whose creation date was checked, never through a new lookup of an ID.
Const WMI_OBJECT = "(object)"
Const LOG_LIMIT_BYTES = 1048576
Const LOG_KEEP_BYTES = 262144

Set objFSO = CreateObject("Scripting.FileSystemObject")
Set objShell = CreateObject("WScript.Shell")
Set dictLogSeen = CreateObject("Scripting.Dictionary")
WMIConnect

Log "Launcher started. Command: " & strCommand

' A PID file left behind means an earlier supervisor died without reaping its service process.
' Nothing is started before that process is known to be gone.
If objFSO.FileExists(strPidFile) Then
    Log "Found stale PID file, cleaning up previous instance..."
End If
Do While objFSO.FileExists(strPidFile)
    WaitForWMI "startup cleanup"
    CleanupStalePid
    If objFSO.FileExists(strPidFile) Then
        LogRepeat "Stale PID file not resolved yet, retrying"
        WScript.Sleep WMI_WAIT_MS
    End If
Loop

blnStartedUnseen = False
Do
    ' Each start reports its outages afresh.
    dictLogSeen.RemoveAll
    ' The started process can only be found through WMI, so never start while WMI is silent.
    WaitForWMI "spawn"

    intPID = 0
    strCreationDate = ""
    ' A start that was not seen (WMI slow, or this script's path spelt otherwise in the command
    ' line) may have run all along: that process is adopted rather than joined by a second one.
    If blnStartedUnseen Then
        Do
            arrChild = NewestChild(GetOwnPID())
            If blnWMIOk Then Exit Do
            LogRepeat "WMI unavailable while looking for the process started earlier; waiting (will not spawn again)"
            WScript.Sleep WMI_WAIT_MS
        Loop
        intPID = arrChild(0)
        strCreationDate = arrChild(1)
        If intPID <> 0 Then Log "Adopting PID " & intPID & ", started earlier but not seen then"
    End If
    blnStartedUnseen = False

    If intPID = 0 Then
        TrimLog
        Log "Spawning process..."
        On Error Resume Next
        objShell.CurrentDirectory = strWorkDir
        If Err.Number <> 0 Then
            Log "Could not change to working directory " & strWorkDir
            Err.Clear
            On Error GoTo 0
        Else
            objShell.Run strCommand, 0, False
            If Err.Number <> 0 Then
                Log "Run failed: " & Err.Number & " - " & Err.Description
                Err.Clear
            Else
                blnStartedUnseen = True
            End If
            On Error GoTo 0
            arrChild = DiscoverChild()
            intPID = arrChild(0)
            strCreationDate = arrChild(1)
            If intPID <> 0 Then blnStartedUnseen = False
        End If
    End If

    If intPID <> 0 Then
        Log "Process started with PID " & intPID
        WritePidFile intPID, strCreationDate
        Set dictChildren = CreateObject("Scripting.Dictionary")

        ' Only a confirmed death ends the watch, so the reaping below always follows an answer of WMI.
        WatchProcess intPID, strCreationDate, dictChildren
        Log "Process PID " & intPID & " exited"

        For Each childPid In dictChildren.Keys
            If TrackedChildState(childPid, dictChildren.Item(childPid)) = PROC_ALIVE Then
                Log "Killing tracked child PID " & childPid
                If Not WMIKill(objTracked) Then
                    Log "Could not kill tracked child PID " & childPid
                End If
            End If
        Next

        DeletePidFile
        Log "Throttling " & intThrottleSeconds & "s before restart..."
        WScript.Sleep intThrottleSeconds * 1000
    Else
        Log "Process did not appear after launch (blocked or failed to start). Retrying in " & intThrottleSeconds & "s..."
        WScript.Sleep intThrottleSeconds * 1000
    End If
Loop


' ----- Logging -----

' Appends one line; a failure to log never stops the supervisor.
Sub Log(msg)
    Const FOR_APPENDING = 8
    Const TRISTATE_TRUE = -1
    Dim objFile
    On Error Resume Next
    ' Unicode (UTF-16 LE with a byte-order mark), so that paths outside the ANSI code page survive.
    ' Only CreateTextFile writes the mark, which the log's readers rely on: opening for appending
    ' with creation would start the file without it.
    If Not objFSO.FileExists(strLogFile) Then objFSO.CreateTextFile(strLogFile, False, True).Close
    Err.Clear
    Set objFile = objFSO.OpenTextFile(strLogFile, FOR_APPENDING, False, TRISTATE_TRUE)
    If Err.Number = 0 Then
        objFile.WriteLine Now() & " " & msg
        objFile.Close
    End If
    Err.Clear
    On Error GoTo 0
End Sub

' Keeps the log bounded: past LOG_LIMIT_BYTES at a start of the service, only about its last
' LOG_KEEP_BYTES stay, from the first whole line on. A failure leaves the log as it was.
Sub TrimLog()
    Const FOR_READING = 1
    Const TRISTATE_TRUE = -1
    Dim objFile, strText, lngBreak
    On Error Resume Next
    If objFSO.FileExists(strLogFile) Then
        If objFSO.GetFile(strLogFile).Size > LOG_LIMIT_BYTES Then
            Set objFile = objFSO.OpenTextFile(strLogFile, FOR_READING, False, TRISTATE_TRUE)
            strText = objFile.ReadAll
            objFile.Close
            If Err.Number = 0 Then
                ' Two bytes to a character.
                strText = Right(strText, LOG_KEEP_BYTES \ 2)
                lngBreak = InStr(strText, vbLf)
                If lngBreak > 0 Then strText = Mid(strText, lngBreak + 1)
                Set objFile = objFSO.CreateTextFile(strLogFile, True, True)
                objFile.Write strText
                objFile.Close
            End If
        End If
    End If
    Err.Clear
    On Error GoTo 0
End Sub

' For messages that recur during an outage: written the first time, then every 12th time.
Sub LogRepeat(msg)
    Dim intCount
    If dictLogSeen.Exists(msg) Then
        intCount = dictLogSeen.Item(msg) + 1
    Else
        intCount = 1
    End If
    dictLogSeen.Item(msg) = intCount
    If intCount = 1 Then
        Log msg
    ElseIf intCount Mod 12 = 0 Then
        Log msg & " (still, after " & intCount & " checks)"
    End If
End Sub


' ----- Watching the service -----

' Returns once the service process is known to have ended, with its children in dictChildren.
' The creation date tells the service process from one that received its ID after it ended
' (during a long WMI outage, say).
' What it costs while it waits: one lookup of the service process by its key a second; listing
' its descendants enumerates every process on the machine, so that is done on every tenth poll
' only (about every 10 s).
Sub WatchProcess(intPID, strCreationDate, dictChildren)
    Dim intState, intPolls
    intPolls = 0
    Do
        intState = TrackedChildState(intPID, strCreationDate)
        If intState = PROC_DEAD Then Exit Do
        If intState = PROC_ALIVE Then
            If intPolls Mod 10 = 0 Then TrackChildren intPID, strCreationDate, dictChildren
            intPolls = intPolls + 1
            Pause 1000
        Else
            LogRepeat "WMI unavailable while monitoring PID " & intPID & "; holding (no kill, no restart) until it answers"
            Pause WMI_WAIT_MS
        End If
    Loop
End Sub

' The watch's waits, apart so that a host without WScript.Sleep can count them instead.
Sub Pause(intMs)
    WScript.Sleep intMs
End Sub


' ----- WMI access -----

' Never fatal: after a failure objWMI is Nothing and every query reports that WMI did not answer.
Sub WMIConnect()
    Set objWMI = Nothing
    On Error Resume Next
    Set objWMI = GetObject("winmgmts:\\.\root\cimv2")
    If Err.Number <> 0 Then
        Log "Could not connect to WMI: 0x" & Hex(Err.Number) & " - " & Err.Description
        Err.Clear
    End If
    On Error GoTo 0
End Sub

' Runs a WQL query and copies the whole result into an array of rows, each holding the values of
' arrProps in order. WMI queries are semi-synchronous: their errors surface while the result is
' enumerated, so the result is read in full before it counts as an answer. blnWMIOk tells an
' empty answer (no rows) from no answer at all (also no rows). A property that this system's WMI
' does not provide at all (some compatibility layers have no creation dates) reads as Null.
Function WMIQuery(strQuery, arrProps)
    Dim intAttempt, colItems, objItem, arrRows, arrRow, intRows, intCol
    blnWMIOk = False
    WMIQuery = Array()
    For intAttempt = 1 To WMI_TRIES
        arrRows = Array()
        intRows = 0
        On Error Resume Next
        Set colItems = objWMI.ExecQuery(strQuery, "WQL", WBEM_QUERY_FLAGS)
        If Err.Number = 0 Then
            For Each objItem In colItems
                ReDim arrRow(UBound(arrProps))
                For intCol = 0 To UBound(arrProps)
                    If arrProps(intCol) = WMI_OBJECT Then
                        Set arrRow(intCol) = objItem
                    Else
                        arrRow(intCol) = objItem.Properties_.Item(arrProps(intCol)).Value
                    End If
                    If Err.Number = WBEM_E_NOT_FOUND Then
                        arrRow(intCol) = Null
                        Err.Clear
                    End If
                Next
                If Err.Number <> 0 Then Exit For
                ReDim Preserve arrRows(intRows)
                arrRows(intRows) = arrRow
                intRows = intRows + 1
            Next
        End If
        If Err.Number = 0 Then
            On Error GoTo 0
            blnWMIOk = True
            WMIQuery = arrRows
            Exit Function
        End If
        LogRepeat "WMI query failed: 0x" & Hex(Err.Number) & " - " & Err.Description & " [" & Err.Source & "] :: " & strQuery
        Err.Clear
        On Error GoTo 0
        If intAttempt < WMI_TRIES Then
            ' The cached connection goes stale across suspend and resume; every call on it then fails.
            WMIConnect
            WScript.Sleep WMI_RETRY_MS
        End If
    Next
End Function

' VBScript cannot index the result of an index expression, hence these accessors.
Function RowValue(arrRows, intRow, intCol)
    Dim arrRow
    arrRow = arrRows(intRow)
    RowValue = arrRow(intCol)
End Function

Function RowObject(arrRows, intRow, intCol)
    Dim arrRow
    arrRow = arrRows(intRow)
    Set RowObject = arrRow(intCol)
End Function

' Ends the process behind this WMI object, the one whose creation date was checked. True only if
' Terminate returned 0: a refusal or an error (an outage, a process already gone) never claims a kill.
Function WMIKill(objProcess)
    Dim intResult, lngError
    WMIKill = False
    On Error Resume Next
    intResult = objProcess.Terminate(1)
    lngError = Err.Number
    Err.Clear
    On Error GoTo 0
    If lngError = 0 Then
        If intResult = 0 Then WMIKill = True
    Else
        Log "WMI kill failed: 0x" & Hex(lngError)
    End If
End Function

' The process with this ID, looked up by its key: PROC_ALIVE with objFound and strCreated (its
' creation date, "" when WMI has none) set, PROC_DEAD when WMI says there is none, PROC_UNKNOWN
' when WMI did not answer. blnWMIOk tells whether it answered.
Function LookUpProcess(pid, objFound, strCreated)
    Dim intAttempt, varCreated, lngError
    LookUpProcess = PROC_UNKNOWN
    blnWMIOk = False
    For intAttempt = 1 To WMI_TRIES
        Set objFound = Nothing
        strCreated = ""
        On Error Resume Next
        Set objFound = objWMI.Get("Win32_Process.Handle='" & pid & "'")
        lngError = Err.Number
        Err.Clear
        If lngError = 0 Then
            varCreated = objFound.Properties_.Item("CreationDate").Value
            If Err.Number = 0 And Not IsNull(varCreated) Then strCreated = CStr(varCreated)
            Err.Clear
        End If
        On Error GoTo 0
        If lngError = 0 Or lngError = WBEM_E_NOT_FOUND Then
            blnWMIOk = True
            LookUpProcess = PROC_ALIVE
            If lngError <> 0 Then LookUpProcess = PROC_DEAD
            Exit Function
        End If
        LogRepeat "WMI lookup of PID " & pid & " failed: 0x" & Hex(lngError)
        If intAttempt < WMI_TRIES Then
            ' The cached connection goes stale across suspend and resume; every call on it then fails.
            WMIConnect
            WScript.Sleep WMI_RETRY_MS
        End If
    Next
End Function

' Blocks until WMI answers; called before any decision that could start or kill a process.
' PID 4 is the System process, which always exists.
Sub WaitForWMI(strContext)
    Dim arrRows
    Do
        arrRows = WMIQuery("SELECT ProcessId FROM Win32_Process WHERE ProcessId = 4", Array("ProcessId"))
        If blnWMIOk Then Exit Sub
        LogRepeat "Waiting for WMI before " & strContext
        WScript.Sleep WMI_WAIT_MS
    Loop
End Sub


' ----- PID file -----

' A failure (for example a sharing violation by another supervisor) is logged and the supervisor
' carries on without a PID file.
Sub WritePidFile(intChildPid, strCreated)
    Dim objFile, strLine
    If strCreated <> "" Then
        strLine = intChildPid & "," & strCreated
    Else
        strLine = CStr(intChildPid)
    End If
    On Error Resume Next
    ' Whatever is there goes first, a link (even one to nothing) as itself: the file is created
    ' anew, never written through a link planted in its place.
    objFSO.DeleteFile strPidFile, True
    Err.Clear
    Set objFile = objFSO.CreateTextFile(strPidFile, True)
    If Err.Number = 0 Then
        objFile.WriteLine strLine
        objFile.Close
    End If
    If Err.Number <> 0 Then
        Log "Could not write PID file (" & Err.Number & " - " & Err.Description & "); continuing"
        Err.Clear
        On Error GoTo 0
        Exit Sub
    End If
    On Error GoTo 0
    Log "PID file written: " & strPidFile
End Sub

Sub DeletePidFile()
    On Error Resume Next
    If objFSO.FileExists(strPidFile) Then
        objFSO.DeleteFile strPidFile, True
        If Err.Number = 0 Then
            Log "PID file deleted"
        Else
            Log "Could not delete PID file (" & Err.Number & " - " & Err.Description & ")"
            Err.Clear
        End If
    Else
        Log "PID file already gone (deleted externally?)"
    End If
    On Error GoTo 0
End Sub


' ----- Finding and tracking processes -----

' Finds the process just started: the child of this script's wscript.exe that WMI lists last.
' Returns Array(pid, creation date), with pid 0 when none appeared. While WMI is silent it waits
' without counting, because the process has already been created and giving up would start another.
Function DiscoverChild()
    Dim intAnswered, intOwnPid, arrChild
    DiscoverChild = Array(0, "")
    intAnswered = 0
    Do While intAnswered < 50
        intOwnPid = GetOwnPID()
        If Not blnWMIOk Then
            LogRepeat "WMI unavailable while identifying the spawned child; waiting (will not spawn again)"
            WScript.Sleep WMI_WAIT_MS
        ElseIf intOwnPid = 0 Then
            LogRepeat "WMI answered but could not identify this script's own wscript.exe process"
            intAnswered = intAnswered + 1
            WScript.Sleep 100
        Else
            arrChild = NewestChild(intOwnPid)
            If Not blnWMIOk Then
                LogRepeat "WMI unavailable while identifying the spawned child; waiting (will not spawn again)"
                WScript.Sleep WMI_WAIT_MS
            Else
                If arrChild(0) <> 0 Then
                    DiscoverChild = arrChild
                    Exit Function
                End If
                intAnswered = intAnswered + 1
                WScript.Sleep 100
            End If
        End If
    Loop
End Function

' The newest child of intParentPid that WMI lists (it lists them in creation order), other than a
' probe of ProbeOwnPID: Array(pid, creation date), pid 0 when there is none or WMI is silent
' (blnWMIOk tells the two apart). A parent ID of 0 (own process unknown) leaves blnWMIOk as it was.
Function NewestChild(intParentPid)
    Dim arrRows, intRow, varCreated
    NewestChild = Array(0, "")
    If intParentPid = 0 Then Exit Function
    arrRows = WMIQuery("SELECT ProcessId, CreationDate FROM Win32_Process WHERE ParentProcessId = " & intParentPid, Array("ProcessId", "CreationDate"))
    If Not blnWMIOk Then Exit Function
    For intRow = UBound(arrRows) To 0 Step -1
        If RowValue(arrRows, intRow, 0) <> lngProbePid Then
            varCreated = RowValue(arrRows, intRow, 1)
            If IsNull(varCreated) Then varCreated = ""
            NewestChild = Array(RowValue(arrRows, intRow, 0), CStr(varCreated))
            Exit Function
        End If
    Next
End Function

' This script's own process, found once: the wscript.exe whose command line holds this script's
' full path (compared case-sensitively), else the parent of a probe (an 8.3 name, another case or
' a UNC path in the command line defeat the first way). 0 when WMI is silent or neither way names
' a process; blnWMIOk tells the two apart.
Function GetOwnPID()
    Dim arrRows, intRow, varCommandLine
    GetOwnPID = lngOwnPid
    If lngOwnPid <> 0 Then
        blnWMIOk = True
        Exit Function
    End If
    arrRows = WMIQuery("SELECT ProcessId, CommandLine FROM Win32_Process WHERE Name = 'wscript.exe'", Array("ProcessId", "CommandLine"))
    If Not blnWMIOk Then Exit Function
    For intRow = 0 To UBound(arrRows)
        varCommandLine = RowValue(arrRows, intRow, 1)
        If Not IsNull(varCommandLine) Then
            If InStr(1, varCommandLine, WScript.ScriptFullName, vbBinaryCompare) > 0 Then
                lngOwnPid = RowValue(arrRows, intRow, 0)
                GetOwnPID = lngOwnPid
                Exit Function
            End If
        End If
    Next
    lngOwnPid = ProbeOwnPID()
    GetOwnPID = lngOwnPid
End Function

' The parent of a process we start is this script's process. Exec, unlike Run, tells the ID of what
' it starts; the probe is a command interpreter that waits for the input Exec holds open, so that
' it is still listed when WMI is asked, and it is ended at once. Its console may flash up: it runs
' only when the command line does not name this script. 0 when it cannot tell.
' Once WMI lists the probe no more, its ID may go to the next process we start: from then on it is
' no longer told apart from our children.
Function ProbeOwnPID()
    Dim objExec, arrRows, blnAnswered, intTry
    ProbeOwnPID = 0
    On Error Resume Next
    Set objExec = objShell.Exec("""" & objFSO.GetSpecialFolder(1).Path & "\cmd.exe"" /d /q /k")
    If Err.Number <> 0 Then
        Log "Could not start a probe to find this script's own process: " & Err.Number & " - " & Err.Description
        Err.Clear
        On Error GoTo 0
        Exit Function
    End If
    On Error GoTo 0
    lngProbePid = objExec.ProcessID
    arrRows = WMIQuery("SELECT ParentProcessId FROM Win32_Process WHERE ProcessId = " & lngProbePid, Array("ParentProcessId"))
    If blnWMIOk And UBound(arrRows) >= 0 Then ProbeOwnPID = RowValue(arrRows, 0, 0)
    blnAnswered = blnWMIOk
    On Error Resume Next
    objExec.Terminate
    Set objExec = Nothing
    Err.Clear
    On Error GoTo 0
    For intTry = 1 To 50
        arrRows = WMIQuery("SELECT ProcessId FROM Win32_Process WHERE ProcessId = " & lngProbePid, Array("ProcessId"))
        If blnWMIOk And UBound(arrRows) < 0 Then
            lngProbePid = 0
            Exit For
        End If
        On Error Resume Next
        WScript.Sleep 100
        Err.Clear
        On Error GoTo 0
    Next
    blnWMIOk = blnAnswered
End Function

' Adds the descendants of intParentPid, at any depth, to dictTracked, each mapped to its creation
' date, so that a tracked ID that another program receives later is not taken for one of them. A
' failed enumeration never means that they are gone: everything already tracked stays.
Sub TrackChildren(intParentPid, strParentCreated, dictTracked)
    Dim arrRows, arrFound, intFound, lngChildPid
    arrRows = WMIQuery("SELECT ProcessId, ParentProcessId, CreationDate FROM Win32_Process", Array("ProcessId", "ParentProcessId", "CreationDate"))
    If Not blnWMIOk Then Exit Sub
    arrFound = Descendants(arrRows, intParentPid, strParentCreated, dictTracked)
    For intFound = 0 To UBound(arrFound)
        lngChildPid = CLng(RowValue(arrRows, arrFound(intFound), 0))
        If Not dictTracked.Exists(lngChildPid) Then
            dictTracked.Add lngChildPid, CStr(RowValue(arrRows, arrFound(intFound), 2))
            Log "Tracked child PID " & lngChildPid
        End If
    Next
End Sub

' The indices of the rows (ProcessId, ParentProcessId, CreationDate, ...) that descend, at any
' depth, from the process intRootPid created at strRootCreated. Windows never re-parents an orphan
' and reuses IDs quickly: a parent ID names the parent only when the child was created no earlier
' than it, and a process whose parent has ended is nobody's. The processes of dictKnown (ID to
' creation date) still listed with that date are parents as well.
Function Descendants(arrRows, intRootPid, strRootCreated, dictKnown)
    Dim dictParents, arrFound, intFound, blnGrew, intRow, lngPid, lngParent, varCreated, varKnown
    Set dictParents = CreateObject("Scripting.Dictionary")
    dictParents.Add CLng(intRootPid), strRootCreated
    For intRow = 0 To UBound(arrRows)
        lngPid = CLng(RowValue(arrRows, intRow, 0))
        varCreated = RowValue(arrRows, intRow, 2)
        If dictKnown.Exists(lngPid) And Not dictParents.Exists(lngPid) And Not IsNull(varCreated) Then
            varKnown = dictKnown.Item(lngPid)
            If SameInstant(CStr(varCreated), CStr(varKnown)) Then dictParents.Add lngPid, CStr(varCreated)
        End If
    Next
    arrFound = Array()
    intFound = 0
    Do
        blnGrew = False
        For intRow = 0 To UBound(arrRows)
            lngPid = CLng(RowValue(arrRows, intRow, 0))
            lngParent = CLng(RowValue(arrRows, intRow, 1))
            varCreated = RowValue(arrRows, intRow, 2)
            If lngPid <> lngParent And dictParents.Exists(lngParent) And Not dictParents.Exists(lngPid) And Not IsNull(varCreated) Then
                If NotBefore(CStr(varCreated), dictParents.Item(lngParent)) Then
                    dictParents.Add lngPid, CStr(varCreated)
                    ReDim Preserve arrFound(intFound)
                    arrFound(intFound) = intRow
                    intFound = intFound + 1
                    blnGrew = True
                End If
            End If
        Next
    Loop While blnGrew
    Descendants = arrFound
End Function

' PROC_ALIVE only while the tracked process itself still runs: once its ID belongs to a process
' with another creation date, the tracked one is dead. An unknown creation date matches any.
' objTracked is then the WMI object of the process that was checked.
Function TrackedChildState(pid, strCreated)
    Dim strActual
    TrackedChildState = LookUpProcess(pid, objTracked, strActual)
    If TrackedChildState = PROC_ALIVE And strCreated <> "" Then
        If Not SameInstant(strActual, strCreated) Then TrackedChildState = PROC_DEAD
    End If
End Function

' One attempt at resolving a PID file left by an earlier supervisor. The file is deleted only once
' the process it names is known to be gone (or never was ours); every early return means that the
' state is unknown, nothing was changed, and the caller tries again.
Sub CleanupStalePid()
    Const FOR_READING = 1
    Dim objFile, strLine, arrFields, dblPid, lngOldPid, intOldState, strStored
    Dim arrRows, arrFound, intRow, objOld, strActual

    On Error Resume Next
    Set objFile = objFSO.OpenTextFile(strPidFile, FOR_READING, False)
    If Err.Number <> 0 Then
        LogRepeat "Could not open PID file (" & Err.Number & " - " & Err.Description & "); retrying"
        Err.Clear
        On Error GoTo 0
        Exit Sub
    End If
    strLine = ""
    If Not objFile.AtEndOfStream Then strLine = objFile.ReadLine
    objFile.Close
    If Err.Number <> 0 Then
        LogRepeat "Could not read PID file (" & Err.Number & " - " & Err.Description & "); retrying"
        Err.Clear
        On Error GoTo 0
        Exit Sub
    End If
    On Error GoTo 0

    ' Only a whole number in the range of a process ID names a process; anything else (including a
    ' number too large to convert) is as corrupt as text would be.
    lngOldPid = 0
    arrFields = Split(strLine, ",")
    If strLine <> "" Then
        If IsNumeric(arrFields(0)) Then
            On Error Resume Next
            dblPid = CDbl(arrFields(0))
            If Err.Number <> 0 Then dblPid = 0
            Err.Clear
            On Error GoTo 0
            If dblPid >= 1 And dblPid <= 2147483647 And dblPid = Fix(dblPid) Then lngOldPid = CLng(dblPid)
        End If
    End If
    If lngOldPid = 0 Then
        Log "PID file is corrupt (" & strLine & "); discarding it"
        DeletePidFile
        Exit Sub
    End If

    intOldState = LookUpProcess(lngOldPid, objOld, strActual)
    If intOldState = PROC_UNKNOWN Then
        LogRepeat "WMI cannot confirm whether stale PID " & lngOldPid & " is running; leaving everything untouched"
        Exit Sub
    End If
    If intOldState = PROC_DEAD Then
        Log "Stale PID " & lngOldPid & " no longer running"
        DeletePidFile
        Exit Sub
    End If

    ' Alive: make sure the ID was not reused by another process. Without a recorded creation date
    ' nothing shows that the ID still names our process, and IDs are reused quickly: such a record
    ' is never enough to kill.
    strStored = ""
    If UBound(arrFields) >= 1 Then strStored = arrFields(1)
    If strStored = "" Then
        Log "PID " & lngOldPid & " has no recorded creation date - not known to be our process, skipping"
        DeletePidFile
        Exit Sub
    End If
    If Not SameInstant(strActual, strStored) Then
        Log "PID " & lngOldPid & " exists but creation date mismatch - not our process, skipping"
        DeletePidFile
        Exit Sub
    End If

    ' What it started, each ended through the object whose date made it one of ours.
    arrRows = WMIQuery("SELECT ProcessId, ParentProcessId, CreationDate FROM Win32_Process", Array("ProcessId", "ParentProcessId", "CreationDate", WMI_OBJECT))
    If Not blnWMIOk Then
        LogRepeat "WMI could not enumerate the descendants of PID " & lngOldPid & "; leaving everything untouched"
        Exit Sub
    End If
    arrFound = Descendants(arrRows, lngOldPid, strStored, CreateObject("Scripting.Dictionary"))
    For intRow = 0 To UBound(arrFound)
        If WMIKill(RowObject(arrRows, arrFound(intRow), 3)) Then
            Log "Killed stale child PID " & RowValue(arrRows, arrFound(intRow), 0)
        Else
            Log "Could not kill stale child PID " & RowValue(arrRows, arrFound(intRow), 0)
        End If
    Next

    If WMIKill(objOld) Then
        Log "Killed stale process PID " & lngOldPid
        DeletePidFile
    Else
        LogRepeat "Could not kill stale process PID " & lngOldPid & "; not spawning until it is gone"
    End If
End Sub


' ----- Creation dates -----

' True when two WMI creation dates name the same instant, whatever UTC offset each was written with:
' a daylight-saving change alters the offset, not the instant. Text that is no WMI date must match
' exactly.
Function SameInstant(strA, strB)
    Dim varA, varB
    varA = WMIInstant(strA)
    varB = WMIInstant(strB)
    If IsNull(varA) Or IsNull(varB) Then
        SameInstant = (strA = strB)
    Else
        SameInstant = (varA = varB)
    End If
End Function

' True when WMI date strA names an instant at or after that of strB; False when either is no WMI
' date, since then nothing shows the order.
Function NotBefore(strA, strB)
    Dim varA, varB, arrA, arrB
    NotBefore = False
    varA = WMIInstant(strA)
    varB = WMIInstant(strB)
    If IsNull(varA) Or IsNull(varB) Then Exit Function
    arrA = Split(varA, ".")
    arrB = Split(varB, ".")
    If CDbl(arrA(0)) <> CDbl(arrB(0)) Then
        NotBefore = CDbl(arrA(0)) > CDbl(arrB(0))
    Else
        NotBefore = CLng(arrA(1)) >= CLng(arrB(1))
    End If
End Function

' WMI's date text, "yyyymmddHHMMSS.ffffff+UUU" (local time, then its offset from UTC in minutes),
' as "seconds since 2000-01-01 UTC.microseconds"; Null for any other text. Whole days between two
' dates, then plain arithmetic: DateDiff and DateAdd are missing from some script hosts.
Function WMIInstant(strDate)
    Dim dblSeconds
    WMIInstant = Null
    If Len(strDate) <> 25 Then Exit Function
    If Mid(strDate, 15, 1) <> "." Then Exit Function
    If Not IsNumeric(Left(strDate, 14)) Or Not IsNumeric(Mid(strDate, 16, 6)) Or Not IsNumeric(Right(strDate, 4)) Then Exit Function
    On Error Resume Next
    dblSeconds = CDbl(CLng(DateSerial(CInt(Left(strDate, 4)), CInt(Mid(strDate, 5, 2)), CInt(Mid(strDate, 7, 2))) - DateSerial(2000, 1, 1))) * 86400
    dblSeconds = dblSeconds + CLng(Mid(strDate, 9, 2)) * 3600 + CLng(Mid(strDate, 11, 2)) * 60 + CLng(Mid(strDate, 13, 2)) - CLng(Right(strDate, 4)) * 60
    If Err.Number <> 0 Then
        Err.Clear
        On Error GoTo 0
        Exit Function
    End If
    On Error GoTo 0
    WMIInstant = CStr(dblSeconds) & "." & Mid(strDate, 16, 6)
End Function
