; Tavrel_Setup.exe: installs TavrelAgent on a candidate PC, deploys a room's settings, and updates an installed
; agent in place when the agent itself starts it with "/S /D <root>".
;
; makensis -DAGENT_EXE=<TavrelAgent.exe> -DSERVICE_EXE=<TavrelService.exe> -DVERSION=<its file version>
;          -DOUT_FILE=<Tavrel_Setup.exe> -DRES_DIR=<res folder> TavrelSetup.nsi
;          [-DSIGN_SCRIPT=<scripts/sign.sh> -DSIGN_CERT=<cert.pem> -DSIGN_KEY=<key.pem>]
;
; Layout under the root R: R\Agent\TavrelAgent.exe, R\Agent\TavrelService.exe (the LocalSystem service
; "TavrelService" that starts the agent in the console session and restarts it), R\Agent\shell.ini,
; R\Agent\Uninstall.exe, and the folders the agent reaches beside its own: R\log, R\Temp, R\Modules,
; R\ExamData\nrvq.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

; The installer carries the file version of the agent it installs (the build passes both the same).
!ifndef VERSION
  !error "VERSION (the agent's file version) is not defined"
!endif
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TavrelAgent"
; The logon task of the versions before the service; an update deletes it.
!define TASK_NAME "TavrelAgent"
!define SERVICE_NAME "TavrelService"
; The agent's hidden main window: class and title. WM_DESTROY is its orderly end.
!define WINDOW_NAME "Tavrel测试系统"
!define WM_DESTROY_MSG 2

LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
Name "TavrelAgent ${VERSION}"
OutFile "${OUT_FILE}"
Icon "${RES_DIR}/TavrelAgent.ico"
UninstallIcon "${RES_DIR}/TavrelAgent.ico"
InstallDir "$PROGRAMFILES64\Tavrel"
; A hand-run update goes to the root of the installed agent.
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "TavrelAgent"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "Tavrel"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "TavrelAgent Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Tavrel"

; Signed when the build is given a certificate: the installer once written, and the uninstaller it carries
; before it is packed (Smart App Control runs no unsigned program, and policies allow programs by publisher).
!ifdef SIGN_SCRIPT
  !finalize '"${SIGN_SCRIPT}" "${SIGN_CERT}" "${SIGN_KEY}" "%1" Tavrel_Setup.exe'
  !uninstfinalize '"${SIGN_SCRIPT}" "${SIGN_CERT}" "${SIGN_KEY}" "%1" Uninstall.exe'
!endif

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var StartedByAgent   ; 1: the agent's own "/D <root>" form, the agent is ending by itself
Var IniGiven         ; 1: at least one deployment option was given
Var OptServer
Var OptServerPort
Var OptSocketPort
Var OptAppTitle
Var HasServer
Var HasServerPort
Var HasSocketPort
Var HasAppTitle
Var OptExitPassword  ; /ExitPassword=: the room's own exit password, stored only as the agent's digest of it
Var HasExitPassword

; Reads one "/Name=value" option of the command line into $0, with $1 = 1 when it was given.
!macro ReadOption params name
  ClearErrors
  ${GetOptions} ${params} "/${name}=" $0
  ${If} ${Errors}
    StrCpy $1 0
  ${Else}
    StrCpy $1 1
    StrCpy $IniGiven 1
  ${EndIf}
!macroend

Function .onInit
  StrCpy $StartedByAgent 0
  StrCpy $IniGiven 0
  ${GetParameters} $R0
  ; The agent passes "/S /D " + its folder + "..\": no "=", no quotes, and the folder may hold blanks.
  ClearErrors
  ${GetOptions} $R0 "/D " $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 != ""
    StrCpy $INSTDIR $R1
    StrCpy $StartedByAgent 1
  ${EndIf}
  ; "C:\Tavrel\Agent\..\" names C:\Tavrel; the registry and the logon task get the plain form.
  GetFullPathName $R1 $INSTDIR
  ${If} $R1 != ""
    StrCpy $INSTDIR $R1
  ${EndIf}
  StrLen $R2 $INSTDIR
  StrCpy $R3 $INSTDIR 1 -1
  ${If} $R3 == "\"
  ${AndIf} $R2 > 3
    StrCpy $INSTDIR $INSTDIR -1
  ${EndIf}

  !insertmacro ReadOption $R0 "Server"
  StrCpy $OptServer $0
  StrCpy $HasServer $1
  !insertmacro ReadOption $R0 "ServerPort"
  StrCpy $OptServerPort $0
  StrCpy $HasServerPort $1
  !insertmacro ReadOption $R0 "SocketPort"
  StrCpy $OptSocketPort $0
  StrCpy $HasSocketPort $1
  !insertmacro ReadOption $R0 "AppTitle"
  StrCpy $OptAppTitle $0
  StrCpy $HasAppTitle $1
  !insertmacro ReadOption $R0 "ExitPassword"
  StrCpy $OptExitPassword $0
  StrCpy $HasExitPassword $1
  ; A room's own password keeps the candidates in: fewer than eight characters are guessed at the dialog.
  ; Refused before anything is installed (the agent refuses it as well).
  StrLen $R2 $OptExitPassword
  ${If} $HasExitPassword == 1
  ${AndIf} $R2 > 0
  ${AndIf} $R2 < 8
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

; Asks a running agent to end the way the exit password ends it, and waits until its program file can be
; written (its process has ended). Not its mutex: a program of the user's may hold a mutex of that name for
; ever. One that is still waiting for an exam client after a minute is ended by force.
!macro EndRunningAgent ask agentExe
  ${If} ${ask} == 1
    FindWindow $0 "${WINDOW_NAME}" "${WINDOW_NAME}"
    ${If} $0 != 0
      System::Call 'user32::PostMessageW(p r0, i ${WM_DESTROY_MSG}, p 0, p 0)'
    ${EndIf}
  ${EndIf}
  StrCpy $R5 0
  ${Do}
    ${IfNot} ${FileExists} "${agentExe}"
      ${Break}
    ${EndIf}
    ClearErrors
    FileOpen $0 "${agentExe}" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    ${If} $R5 >= 240
      nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM TavrelAgent.exe'
      Pop $0
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $R5 $R5 + 1
  ${Loop}
!macroend

; Stops the service, which ends the agent it started the way the exit password does, and waits up to a minute
; for the service to report itself stopped. Nothing to do where no service is registered.
!macro StopAgentService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r6'
  ${If} $6 != 0
    ; SERVICE_STOP | SERVICE_QUERY_STATUS
    System::Call 'advapi32::OpenServiceW(p r6, w "${SERVICE_NAME}", i 0x24) p .r7'
    ${If} $7 != 0
      System::Call '*(i, i, i, i, i, i, i) p .r8'
      System::Call 'advapi32::ControlService(p r7, i 1, p r8) i .r0'
      StrCpy $R5 0
      ${Do}
        System::Call 'advapi32::QueryServiceStatus(p r7, p r8) i .r0'
        System::Call '*$8(i, i .r9)'
        ${If} $0 == 0
        ${OrIf} $9 == 1
        ${OrIf} $R5 >= 240
          ${Break}
        ${EndIf}
        Sleep 250
        IntOp $R5 $R5 + 1
      ${Loop}
      System::Free $8
      System::Call 'advapi32::CloseServiceHandle(p r7)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r6)'
  ${EndIf}
!macroend

; Waits until a program file can be opened for writing: its process has ended (the mutex goes before it).
!macro WaitForFileFree file
  ${If} ${FileExists} "${file}"
    StrCpy $R5 0
    ${Do}
      ClearErrors
      FileOpen $0 "${file}" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      ${If} $R5 >= 120
        ${Break}
      ${EndIf}
      Sleep 250
      IntOp $R5 $R5 + 1
    ${Loop}
  ${EndIf}
!macroend

; Waits until no agent holds the program files. An agent that started us ends by itself once it has closed its
; channel; any other running agent (a hand-run update) is asked to end.
Function WaitForAgentEnd
  ; First the service, or it would start the agent again the moment it ended.
  !insertmacro StopAgentService
  !insertmacro WaitForFileFree "$INSTDIR\Agent\TavrelService.exe"
  StrCpy $R4 1
  ${If} $StartedByAgent == 1
    StrCpy $R4 0
  ${EndIf}
  !insertmacro EndRunningAgent $R4 "$INSTDIR\Agent\TavrelAgent.exe"
  ; The mutex goes before the process does: a running program's file cannot be opened for writing.
  ${If} ${FileExists} "$INSTDIR\Agent\TavrelAgent.exe"
    StrCpy $R5 0
    ${Do}
      ClearErrors
      FileOpen $0 "$INSTDIR\Agent\TavrelAgent.exe" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      ${If} $R5 >= 120
        nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM TavrelAgent.exe'
        Pop $0
        Sleep 1000
        ${Break}
      ${EndIf}
      Sleep 250
      IntOp $R5 $R5 + 1
    ${Loop}
  ${EndIf}
FunctionEnd

;---- shell.ini ----------------------------------------------------------------------------------------------------
; The agent reads "AppTitle" as UTF-8 and the other values as ASCII, so the whole file is written as UTF-8
; bytes; the profile API would store the title in the ANSI code page. Only the keys an option names change:
; every other key of every section (Scheme, CaFile, [Update] Publisher and Thumbprint, the exit password's
; digest, and whatever a later version adds) is written back as it was.

; Appends to $7 the lines of section $R1 (a pointer to its narrow name) of $R6 but those this installer writes
; itself (in [Server] and [Application]); $R2 = the section's name as text.
Function KeepOtherKeys
  System::Alloc 65536
  Pop $R3
  System::Call 'kernel32::GetPrivateProfileSectionA(p R1, p R3, i 65536, m R6) i .r0'
  StrCpy $R4 $R3
  ${Do}
    System::Call 'kernel32::lstrlenA(p R4) i .r0'
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, p R4, i -1, w .R5, i ${NSIS_MAX_STRLEN})'
    IntOp $R4 $R4 + $0
    IntOp $R4 $R4 + 1
    ${WordFind} $R5 "=" "+1{" $R0
    ${If} $R2 == "Server"
      ${If} $R0 == "Server"
      ${OrIf} $R0 == "ServerPort"
      ${OrIf} $R0 == "SocketPort"
        ${Continue}
      ${EndIf}
    ${ElseIf} $R2 == "Application"
      ${If} $R0 == "AppTitle"
      ${OrIf} $R0 == "ExitPasswordHash"
        ${Continue}
      ${EndIf}
    ${EndIf}
    StrCpy $7 "$7$R5$\r$\n"
  ${Loop}
  System::Free $R3
FunctionEnd

; Appends the section $R2 of $R6 (its other keys), found among the names at $R8, or nothing.
Function KeepSection
  StrCpy $R1 $R8
  ${Do}
    System::Call 'kernel32::lstrlenA(p R1) i .r0'
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, p R1, i -1, w .R0, i ${NSIS_MAX_STRLEN})'
    ${If} $R0 == $R2
      Call KeepOtherKeys
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + $0
    IntOp $R1 $R1 + 1
  ${Loop}
FunctionEnd

Function WriteShellIni
  StrCpy $R6 "$INSTDIR\Agent\shell.ini"
  ReadINIStr $2 $R6 "Server" "Server"
  ReadINIStr $3 $R6 "Server" "ServerPort"
  ReadINIStr $4 $R6 "Server" "SocketPort"
  ReadINIStr $R7 $R6 "Application" "ExitPasswordHash"
  StrCpy $5 ""
  ${If} ${FileExists} $R6
    System::Alloc 4096
    Pop $6
    System::Call 'kernel32::GetPrivateProfileStringA(m "Application", m "AppTitle", m "", p r6, i 4096, m R6)'
    System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, p r6, i -1, w .r5, i ${NSIS_MAX_STRLEN})'
    System::Free $6
  ${EndIf}
  ${If} $HasServer == 1
    StrCpy $2 $OptServer
  ${EndIf}
  ${If} $HasServerPort == 1
    StrCpy $3 $OptServerPort
  ${EndIf}
  ${If} $HasSocketPort == 1
    StrCpy $4 $OptSocketPort
  ${EndIf}
  ${If} $HasAppTitle == 1
    StrCpy $5 $OptAppTitle
  ${EndIf}
  ; The section names of the file as it is: a list of narrow texts ending with an empty one.
  System::Alloc 16384
  Pop $R8
  System::Call '*$R8(&i2 0)'
  ${If} ${FileExists} $R6
    System::Call 'kernel32::GetPrivateProfileSectionNamesA(p R8, i 16384, m R6) i .r0'
  ${EndIf}
  StrCpy $7 "[Server]$\r$\nServer=$2$\r$\nServerPort=$3$\r$\nSocketPort=$4$\r$\n"
  StrCpy $R2 "Server"
  Call KeepSection
  StrCpy $7 "$7[Application]$\r$\nAppTitle=$5$\r$\n"
  ${If} $R7 != ""
    StrCpy $7 "$7ExitPasswordHash=$R7$\r$\n"
  ${EndIf}
  StrCpy $R2 "Application"
  Call KeepSection
  ; Every other section as it was.
  StrCpy $R1 $R8
  ${Do}
    System::Call 'kernel32::lstrlenA(p R1) i .r0'
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, p R1, i -1, w .R2, i ${NSIS_MAX_STRLEN})'
    StrCpy $9 $0
    ${If} $R2 != "Server"
    ${AndIf} $R2 != "Application"
      StrCpy $7 "$7[$R2]$\r$\n"
      Call KeepOtherKeys
    ${EndIf}
    IntOp $R1 $R1 + $9
    IntOp $R1 $R1 + 1
  ${Loop}
  System::Free $R8
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r7, i -1, p 0, i 0, p 0, p 0) i .r8'
  System::Alloc $8
  Pop $6
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r7, i -1, p r6, i r8, p 0, p 0)'
  IntOp $8 $8 - 1
  FileOpen $9 $R6 w
  System::Call 'kernel32::WriteFile(p r9, p r6, i r8, *i .r0, p 0)'
  FileClose $9
  System::Free $6
FunctionEnd

; ---- /ExitPassword= ----------------------------------------------------------------------------------------------
; NSIS has no PBKDF2: the agent just installed digests the password with a fresh salt and writes
; [Application] ExitPasswordHash= into its shell.ini, with the same code its dialog checks it by. The password
; reaches it in its environment, never on a command line; "/ExitPassword=" (empty) brings the fixed one back.
Function StoreExitPassword
  ${If} $HasExitPassword == 1
    StrCpy $R9 $OptExitPassword
    System::Call 'kernel32::SetEnvironmentVariableW(w "TAVREL_EXIT_PASSWORD", w R9)'
    nsExec::Exec '"$INSTDIR\Agent\TavrelAgent.exe" /StoreExitPassword'
    Pop $0
    System::Call 'kernel32::SetEnvironmentVariableW(w "TAVREL_EXIT_PASSWORD", p 0)'
    StrCpy $R9 ""
    ${If} $0 != 0
      DetailPrint "ExitPassword not stored ($0)"
      SetErrorLevel 2
    ${EndIf}
  ${EndIf}
FunctionEnd
; ------------------------------------------------------------------------------------------------------------------

; The agent needs administrator rights for a candidate with a standard account, and must be out of the
; candidate's reach: the service (automatic, LocalSystem) starts it in the console session as LocalSystem and
; starts it again when it dies; the service control manager restarts the service itself should it fail.
Function RegisterService
  ; An update from a version that started the agent by a logon task.
  nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /F /TN "${TASK_NAME}"'
  Pop $0
  Delete "$INSTDIR\Agent\TavrelAgent.task.xml"
  nsExec::Exec '"$SYSDIR\sc.exe" create ${SERVICE_NAME} binPath= "\"$INSTDIR\Agent\TavrelService.exe\"" start= auto obj= LocalSystem DisplayName= "TavrelAgent"'
  Pop $0
  ${If} $0 != 0
    nsExec::Exec '"$SYSDIR\sc.exe" config ${SERVICE_NAME} binPath= "\"$INSTDIR\Agent\TavrelService.exe\"" start= auto obj= LocalSystem DisplayName= "TavrelAgent"'
    Pop $0
  ${EndIf}
  nsExec::Exec '"$SYSDIR\sc.exe" description ${SERVICE_NAME} "Starts TavrelAgent ${VERSION} in the console session and restarts it when it dies"'
  Pop $0
  nsExec::Exec '"$SYSDIR\sc.exe" failure ${SERVICE_NAME} reset= 86400 actions= restart/5000/restart/10000/restart/30000'
  Pop $0
FunctionEnd

;---- The root's rights, set at every install and update --------------------------------------------------------
; A root outside Program Files (/D=C:\Tavrel) would inherit "Authenticated Users: Modify" from C:\. Administrators
; and SYSTEM may do anything, Users read and run; only what the exam client writes in the candidate's account
; (ExamData, and the log folder with its log) is theirs to write. Nothing is inherited from above the root; an
; existing root is mended by its next update.
;
; The owner is set with the DACL: an owner may always rewrite the DACL, so a root a candidate made before the
; install would otherwise stay theirs. Rights that cannot be set (a FAT volume, no privilege) end the install
; with error level 3 before a file is copied: a root anybody may write is no place for a LocalSystem program.
!define RIGHTS_ADMINS "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
!define RIGHTS_USERS_WRITE "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)"
; shell.ini holds the exit password's digest and the trust settings: Administrators and SYSTEM only (the exam
; client gets its values on its command line).
!define RIGHTS_ADMINS_ONLY "O:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)"
; Agent\log: the agent's and the service's own logs, which no user may read, write, delete, lock or redirect.
!define RIGHTS_SYSTEM_LOGS "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"

Var RightsFailed

; $R8 = folder or file, $R9 = SDDL. OWNER_ | DACL_ | PROTECTED_DACL_SECURITY_INFORMATION.
Function SetFolderRights
  StrCpy $3 1
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w R9, i 1, *p .r2, p 0) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r2, *i .r4, *p .r5, *i .r6)'
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r2, *p .r7, *i .r6)'
    System::Call 'advapi32::SetNamedSecurityInfoW(w R8, i 1, i 0x80000005, p r7, p 0, p r5, p 0) i .r3'
    System::Call 'kernel32::LocalFree(p r2)'
  ${EndIf}
  ${If} $3 != 0
    DetailPrint "rights not set on $R8 ($3)"
    StrCpy $RightsFailed 1
  ${EndIf}
FunctionEnd

!macro FolderRights folder sddl
  StrCpy $R8 "${folder}"
  StrCpy $R9 "${sddl}"
  Call SetFolderRights
!macroend

Function SetRootRights
  StrCpy $RightsFailed 0
  !insertmacro FolderRights "$INSTDIR" "${RIGHTS_ADMINS}"
  !insertmacro FolderRights "$INSTDIR\Agent" "${RIGHTS_ADMINS}"
  !insertmacro FolderRights "$INSTDIR\Temp" "${RIGHTS_ADMINS}"
  !insertmacro FolderRights "$INSTDIR\Modules" "${RIGHTS_ADMINS}"
  !insertmacro FolderRights "$INSTDIR\ExamData" "${RIGHTS_USERS_WRITE}"
  !insertmacro FolderRights "$INSTDIR\log" "${RIGHTS_USERS_WRITE}"
  !insertmacro FolderRights "$INSTDIR\Agent\log" "${RIGHTS_SYSTEM_LOGS}"
  ${If} ${FileExists} "$INSTDIR\Agent\shell.ini"
    !insertmacro FolderRights "$INSTDIR\Agent\shell.ini" "${RIGHTS_ADMINS_ONLY}"
  ${EndIf}
  ${If} $RightsFailed != 0
    SetErrorLevel 3
    Abort
  ${EndIf}
FunctionEnd
;---- end of the root's rights ---------------------------------------------------------------------------------

Section "TavrelAgent"
  Call WaitForAgentEnd
  CreateDirectory "$INSTDIR\Agent"
  CreateDirectory "$INSTDIR\Agent\log"
  CreateDirectory "$INSTDIR\log"
  CreateDirectory "$INSTDIR\Temp"
  CreateDirectory "$INSTDIR\Modules"
  CreateDirectory "$INSTDIR\ExamData\nrvq"
  Call SetRootRights
  SetOutPath "$INSTDIR\Agent"
  SetOverwrite on
  File "/oname=TavrelAgent.exe" "${AGENT_EXE}"
  File "/oname=TavrelService.exe" "${SERVICE_EXE}"
  ; An update or a plain reinstall keeps the room's shell.ini; the deployment options change what they name.
  ${If} $IniGiven == 1
  ${OrIfNot} ${FileExists} "$INSTDIR\Agent\shell.ini"
    Call WriteShellIni
  ${EndIf}
  Call StoreExitPassword
  !insertmacro FolderRights "$INSTDIR\Agent\shell.ini" "${RIGHTS_ADMINS_ONLY}"
  ${If} $RightsFailed != 0
    SetErrorLevel 3
    Abort
  ${EndIf}
  WriteUninstaller "$INSTDIR\Agent\Uninstall.exe"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "TavrelAgent"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Tavrel"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\Agent\TavrelAgent.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\Agent\Uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\Agent\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  Call RegisterService
  ; The PC serves the room at once, without waiting for the next logon: the service starts the agent.
  nsExec::Exec '"$SYSDIR\sc.exe" start ${SERVICE_NAME}'
  Pop $0
SectionEnd

; Removes the program and its service (and the logon task of an older version). The answers under ExamData, the logs, the module packages and
; shell.ini stay: they belong to the exams and the room, not to this version of the program.
Section "Uninstall"
  !insertmacro StopAgentService
  nsExec::Exec '"$SYSDIR\sc.exe" delete ${SERVICE_NAME}'
  Pop $0
  !insertmacro EndRunningAgent 1 "$INSTDIR\TavrelAgent.exe"
  nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /F /TN "${TASK_NAME}"'
  Pop $0
  GetFullPathName $1 "$INSTDIR\.."
  StrCpy $2 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\TavrelAgent.exe"
    ${IfNot} ${Errors}
    ${OrIf} $2 >= 40
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $2 $2 + 1
  ${Loop}
  !insertmacro WaitForFileFree "$INSTDIR\TavrelService.exe"
  Delete "$INSTDIR\TavrelService.exe"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "$INSTDIR\TavrelAgent.task.xml"
  Delete "$1\Temp\Tavrel_Setup.exe"
  RMDir "$1\Temp"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
