#include <windows.h>

#include <cstring>
#include <string>

#include "base/shared_values.h"
#include "agent/dialogs.h"
#include "agent/exit_password.h"
#include "agent/settings_rules.h"
#include "base/exam_client.h"
#include "base/main_thread_post.h"
#include "commands/command_channel.h"
#include "server/server_api.h"
#include "system/own_addresses.h"
#include "system/text.h"
#include "resource.h"

namespace {

HWND g_settingsDialog = nullptr;
HWND g_exitDialog = nullptr;

// The notes are the agent's own texts, written in code page 936: shown through the wide call, they read right
// on a PC of any code page (MessageBoxA would read them in the PC's own).
void ShowNote(HWND owner, const std::string& text) {
    MessageBoxW(owner, LiteralToWide(text).c_str(), LiteralToWide("提示信息").c_str(), MB_OK);
}

const char kExamClientRuns[] = "考试机已启动，无法修改考试机配置！";

// A dialog opened before the exam started may still be open when the exam client runs; its action is
// refused then, with the note the opening gives, and the dialog goes.
bool RefusedWhileTheExamClientRuns(HWND dialog) {
    if (!ExamClientRuns()) return false;
    ShowWindow(dialog, SW_HIDE);
    ShowNote(nullptr, kExamClientRuns);
    return true;
}

std::string FieldText(HWND dialog, int control, int bufferSize) {
    char buffer[100] = {0};
    GetDlgItemTextA(dialog, control, buffer, bufferSize);
    return std::string(buffer);
}

bool ModifyEcpNoHook(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                     std::string* message) {
    bool accepted = ModifyEcpNo(server, ecpKey, ecpId, *message);
    // The server's words come in the PC's code page; the note around them is in 936.
    *message = WideToGbk(AnsiToWide(*message));
    return accepted;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
        ShowWindow(dialog, SW_HIDE);
    } else if (message == WM_COMMAND) {
        int control = LOWORD(wParam);
        // IDOK and IDCANCEL come from Enter and Esc (IsDialogMessage in the message loop).
        if (control == IDC_CANCEL || control == IDCANCEL) {
            ShowWindow(dialog, SW_HIDE);
        } else if (control == IDC_CONFIRM || control == IDOK) {
            OnSettingMessage(dialog);
        } else if (control == IDC_ECP_NO && HIWORD(wParam) == EN_CHANGE) {
            wchar_t typed[100] = {0};
            GetDlgItemTextW(dialog, IDC_ECP_NO, typed, 100);
            std::wstring number = typed;
            if (CutNumberField(&number)) {
                SetDlgItemTextW(dialog, IDC_ECP_NO, number.c_str());
                ShowNote(dialog, "考试机号最大支持3位数字！");
            }
        }
    }
    return FALSE;
}

INT_PTR CALLBACK ExitPasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if ((message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) ||
        (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) {
        SetDlgItemTextW(dialog, IDC_EXIT_PASSWORD, L"");
        ShowWindow(dialog, SW_HIDE);
    } else if (message == WM_COMMAND && HIWORD(wParam) == EN_CHANGE) {
        // No confirm button: the password is checked on every change of the text; the rule decides how much
        // of the field counts.
        HWND field = GetDlgItem(dialog, IDC_EXIT_PASSWORD);
        std::string typed(static_cast<size_t>(GetWindowTextLengthA(field)) + 1, '\0');
        typed.resize(static_cast<size_t>(GetWindowTextA(field, &typed[0], static_cast<int>(typed.size()))));
        if (IsExitPassword(typed, ReadShared(&SharedValues::ExitPasswordHash))) {
            if (RefusedWhileTheExamClientRuns(dialog)) {
                // Typed again, the password must be typed whole.
                SetDlgItemTextW(dialog, IDC_EXIT_PASSWORD, L"");
                return FALSE;
            }
            ShowWindow(dialog, SW_HIDE);
            PostMainWindowMessage(kMsgDestroy, 0, 0);
        }
    }
    return FALSE;
}

}  // namespace

void OnSettingMessage(HWND dialog) {
    SettingsInput input;
    const std::string serverIpInUse = ReadShared(&SharedValues::ServerIp);
    SettingsVerdict verdict = CheckSettings(FieldText(dialog, IDC_SERVER_IP, 100), FieldText(dialog, IDC_ECP_NO, 100),
                                            serverIpInUse, ReadShared(&SharedValues::CurrentEcpId),
                                            ListOwnIpv4Addresses(), &input);
    if (verdict == SettingsVerdict::Proceed &&
        !AddressChangeProven(input, serverIpInUse, FieldText(dialog, IDC_SETTING_PASSWORD, 100),
                             ReadShared(&SharedValues::ExitPasswordHash))) {
        // Typed again, the password must be typed whole.
        SetDlgItemTextW(dialog, IDC_SETTING_PASSWORD, L"");
        verdict = SettingsVerdict::ProofMissing;
    }
    if (verdict == SettingsVerdict::Unchanged) {
        ShowWindow(dialog, SW_HIDE);
        return;
    }
    if (RefusedWhileTheExamClientRuns(dialog)) return;
    if (verdict != SettingsVerdict::Proceed) {
        ShowNote(dialog, SettingsVerdictMessage(verdict));
        return;
    }
    std::string refusal;
    if (!ApplySettingsChange(input, SettingsHooks{ModifyEcpNoHook, LeaveCommandChannel}, &refusal)) {
        ShowNote(dialog, refusal);
        return;
    }
    ShowWindow(dialog, SW_HIDE);
    if (!refusal.empty()) ShowNote(nullptr, refusal);
}

void OpenSettingsDialog(HINSTANCE instance) {
    if (ExamClientRuns()) {
        ShowNote(nullptr, kExamClientRuns);
        return;
    }
    if (!g_settingsDialog)
        g_settingsDialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_SETTING), GetDesktopWindow(),
                                              SettingsDialogProc, 0);
    if (!g_settingsDialog) return;
    // Every opening shows the values in use, whatever was typed before.
    SetDlgItemTextW(g_settingsDialog, IDC_SERVER_IP, AnsiToWide(ReadShared(&SharedValues::ServerIp)).c_str());
    SetDlgItemTextW(g_settingsDialog, IDC_ECP_NO, AnsiToWide(ReadShared(&SharedValues::CurrentEcpId)).c_str());
    SetDlgItemTextW(g_settingsDialog, IDC_SETTING_PASSWORD, L"");
    ShowWindow(g_settingsDialog, SW_SHOWNA);
}

void OpenExitPasswordDialog(HINSTANCE instance) {
    if (!g_exitDialog)
        g_exitDialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_EXIT_PASSWORD), GetDesktopWindow(),
                                          ExitPasswordDialogProc, 0);
    if (!g_exitDialog) return;
    // What was typed before (and left with Esc) is nobody's to read at the next opening.
    SetDlgItemTextW(g_exitDialog, IDC_EXIT_PASSWORD, L"");
    ShowWindow(g_exitDialog, SW_SHOWNA);
}

bool RouteDialogKeys(MSG* message) {
    for (HWND dialog : {g_settingsDialog, g_exitDialog})
        if (dialog && IsWindowVisible(dialog) && IsDialogMessageW(dialog, message)) return true;
    return false;
}
