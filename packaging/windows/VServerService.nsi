; The Windows installer of the Vantorel server. Built by the build's windows-installer target:
;   makensis -DVERSION=... -DSERVER=<VServerService.exe> [-DCONSOLE=<vserverctl.exe>]
;            -DFILES=<folder with VServerService.reg.sample and README-windows.txt> -DOUTFILE=<setup.exe>
; The installer is a 64-bit program (a 32-bit stub could not start on a 64-bit-only system).
; It registers the service after copying the files and removes it before deleting them.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define SERVICE "VServerService"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SERVICE}"

Name "Vantorel Server ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vantorel Server"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Server"
  SetOutPath "$INSTDIR"
  File "/oname=VServerService.exe" "${SERVER}"
!ifdef CONSOLE
  File "/oname=vserverctl.exe" "${CONSOLE}"
!endif
  File "${FILES}\VServerService.reg.sample"
  File "${FILES}\README-windows.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The program installs its own service and registration keys.
  DetailPrint "Registering the service"
  ExecWait '"$INSTDIR\VServerService.exe" -RegServer' $0
  IntCmp $0 0 registered
    DetailPrint "VServerService.exe -RegServer failed with exit status $0"
    SetErrorLevel 2
  registered:

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Vantorel Server"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Stops and deletes the service and removes the registration keys; the settings, the logs
  ; and the queue files stay for a later installation.
  DetailPrint "Removing the service"
  ExecWait '"$INSTDIR\VServerService.exe" -UnregServer' $0
  IntCmp $0 0 unregistered
    DetailPrint "VServerService.exe -UnregServer failed with exit status $0"
    SetErrorLevel 2
  unregistered:

  Delete "$INSTDIR\VServerService.exe"
  Delete "$INSTDIR\vserverctl.exe"
  Delete "$INSTDIR\VServerService.reg.sample"
  Delete "$INSTDIR\README-windows.txt"
  Delete "$INSTDIR\VServerService.lock"
  Delete "$INSTDIR\uninstall.exe"
  ; Removed only when nothing of the site's own is left in it.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
