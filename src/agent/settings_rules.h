#pragma once
// The settings dialog decides with these plain rules (the exit password's are in exit_password.h); the window
// only reads the fields, shows the message and acts on the verdict.
#include <string>
#include <vector>

#include "base/server_endpoint.h"

enum class SettingsVerdict {
    Unchanged,         // both values as in use: close without a server call
    NumberMissing,     // "请输入考试机号！"
    NumberOutOfRange,  // "考试机号应该在1-999之间！"
    AddressInvalid,    // "请输入合法的IP地址！"
    ProofMissing,      // "修改监考机IP须输入正确的退出口令！"
    Proceed,           // ask the server for the new number
};

struct SettingsInput {
    std::string address;  // trimmed
    std::string number;   // trimmed, passed to the server as typed ("007" stays "007")
};

// Steps before the server call: trim, unchanged check, number checks, address check.
SettingsVerdict CheckSettings(const std::string& typedAddress, const std::string& typedNumber,
                              const std::string& serverIpInUse, const std::string& ecpIdInUse,
                              SettingsInput* trimmed);
// The same, and a new address is none of this PC's own (ownAddresses, every adapter's): a listener of the
// candidate's there would answer as the exam server.
SettingsVerdict CheckSettings(const std::string& typedAddress, const std::string& typedNumber,
                              const std::string& serverIpInUse, const std::string& ecpIdInUse,
                              const std::vector<std::string>& ownAddresses, SettingsInput* trimmed);
// Only an invigilator points the PC at another server: a new address needs the room's exit password typed
// in the dialog (checked as the exit-password dialog checks it). A change of the number alone needs nothing.
bool AddressChangeProven(const SettingsInput& input, const std::string& serverIpInUse,
                         const std::string& typedPassword, const std::string& exitPasswordHash);
// The message box text for a refusing verdict ("" for Unchanged and Proceed).
std::string SettingsVerdictMessage(SettingsVerdict verdict);

// The number field holds at most three characters: true when the text was cut (and *text now holds three).
// Counted in characters of the wide text: a cut through the bytes of a double-byte character, or between the
// two halves of a surrogate pair, would leave half a character in the field.
bool CutNumberField(std::wstring* text);

// What a confirmed change does once the server accepted it, decided from the old and new values.
struct SettingsEffects {
    bool writeIni;       // the address changed: store it in "shell.ini"
    bool closeChannel;   // the address changed: the channel reconnects to the new server
    bool setEcpId;       // the number changed
};
SettingsEffects EffectsOfAcceptedChange(const std::string& oldAddress, const std::string& ecpIdInUse,
                                        const SettingsInput& accepted);

// The confirm handler once the input passed its checks: the server call, then what an accepted change does,
// with the server call and the channel behind the two hooks.
// Returns true when the change took effect; *message gets the message box text of a refusal, or, with true,
// the warning that the new address is in use but could not be stored in "shell.ini" ("" when all went well).
// The server call goes to the typed address; the values in use change only once the server accepted.
struct SettingsHooks {
    bool (*modifyEcpNo)(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                        std::string* message);
    // Ends the channel in every state but closed, as the workflow leaves a room.
    void (*leaveChannel)();
};
extern const char kAddressNotStored[];
bool ApplySettingsChange(const SettingsInput& input, const SettingsHooks& hooks, std::string* message);
