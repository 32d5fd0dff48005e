#include "agent/settings_rules.h"

#include <algorithm>

#include "agent/exit_password.h"

#include "base/shared_values.h"
#include "base/config.h"
#include "base/logger.h"
#include "system/address.h"
#include "system/text.h"

const char kAddressNotStored[] = "考试机号已修改，但服务地址未能保存到shell.ini，重新启动后将恢复原地址！";

SettingsVerdict CheckSettings(const std::string& typedAddress, const std::string& typedNumber,
                              const std::string& serverIpInUse, const std::string& ecpIdInUse,
                              SettingsInput* trimmed) {
    trimmed->address = TrimSpaces(typedAddress);
    trimmed->number = TrimSpaces(typedNumber);
    if (trimmed->address == serverIpInUse && trimmed->number == ecpIdInUse) return SettingsVerdict::Unchanged;
    if (trimmed->number.empty()) return SettingsVerdict::NumberMissing;
    int number = TextToInt(trimmed->number);
    if (number < 1 || number > 999) return SettingsVerdict::NumberOutOfRange;
    if (!IsAcceptedIpv4Text(trimmed->address)) return SettingsVerdict::AddressInvalid;
    // A new address must be another host of the room: a listener of the candidate's own on this PC
    // (loopback, "this network") or a broadcast or multicast group would answer as the exam server. The
    // address in use was set by an administrator and stays as it is when only the number changes.
    if (trimmed->address != serverIpInUse && !IsServerHostAddress(trimmed->address))
        return SettingsVerdict::AddressInvalid;
    return SettingsVerdict::Proceed;
}

SettingsVerdict CheckSettings(const std::string& typedAddress, const std::string& typedNumber,
                              const std::string& serverIpInUse, const std::string& ecpIdInUse,
                              const std::vector<std::string>& ownAddresses, SettingsInput* trimmed) {
    SettingsVerdict verdict = CheckSettings(typedAddress, typedNumber, serverIpInUse, ecpIdInUse, trimmed);
    if (verdict == SettingsVerdict::Proceed && trimmed->address != serverIpInUse &&
        std::find(ownAddresses.begin(), ownAddresses.end(), trimmed->address) != ownAddresses.end())
        return SettingsVerdict::AddressInvalid;
    return verdict;
}

bool AddressChangeProven(const SettingsInput& input, const std::string& serverIpInUse,
                         const std::string& typedPassword, const std::string& exitPasswordHash) {
    if (input.address == serverIpInUse) return true;
    return !typedPassword.empty() && IsExitPassword(typedPassword, exitPasswordHash);
}

std::string SettingsVerdictMessage(SettingsVerdict verdict) {
    switch (verdict) {
        case SettingsVerdict::NumberMissing: return "请输入考试机号！";
        case SettingsVerdict::NumberOutOfRange: return "考试机号应该在1-999之间！";
        case SettingsVerdict::AddressInvalid: return "请输入合法的IP地址！";
        case SettingsVerdict::ProofMissing: return "修改监考机IP须输入正确的退出口令！";
        default: return std::string();
    }
}

bool CutNumberField(std::wstring* text) {
    size_t kept = 0;
    for (int characters = 0; kept < text->size() && characters < 3; ++characters) {
        bool pairStart = (*text)[kept] >= 0xD800 && (*text)[kept] <= 0xDBFF && kept + 1 < text->size();
        kept += pairStart ? 2 : 1;
    }
    if (kept >= text->size()) return false;
    text->resize(kept);
    return true;
}

SettingsEffects EffectsOfAcceptedChange(const std::string& oldAddress, const std::string& ecpIdInUse,
                                        const SettingsInput& accepted) {
    bool addressChanged = accepted.address != oldAddress;
    return SettingsEffects{addressChanged, addressChanged, accepted.number != ecpIdInUse};
}

bool ApplySettingsChange(const SettingsInput& input, const SettingsHooks& hooks, std::string* message) {
    // The server call goes to the new address through an endpoint of its own: for the seconds it may take, the
    // service pass and the channel go on with the address in use, which stays until the server has accepted.
    SharedValues before = SnapshotShared();
    ServerEndpoint tried = ServerEndpointOf(before);
    tried.host = input.address;
    std::string serverMessage;
    if (!hooks.modifyEcpNo(tried, before.LocalMac, input.number, &serverMessage)) {
        *message = "修改考试机号失败：" + serverMessage;
        return false;
    }
    LogInfo("OnSettingMessage") << "修改考试机配置，考试机号[" << input.number << "],服务地址[" << input.address
                                << "]";
    SettingsEffects effects = EffectsOfAcceptedChange(before.ServerIp, ReadShared(&SharedValues::CurrentEcpId), input);
    message->clear();
    if (effects.writeIni) {
        WriteShared(&SharedValues::ServerIp, input.address);
        // The server has taken the number already, so the new address stays in use; but the invigilator must
        // know that the next start goes back to the old one.
        std::string iniPath = ReadShared(&SharedValues::IniPath);
        if (!WriteServerAddress(iniPath, input.address)) {
            LogError("OnSettingMessage") << "shell.ini not written: " << iniPath;
            *message = kAddressNotStored;
        }
        // A channel still opening or waiting to reconnect would take the machine back to the old server.
        if (hooks.leaveChannel) hooks.leaveChannel();
    }
    if (effects.setEcpId) WriteShared(&SharedValues::CurrentEcpId, input.number);
    return true;
}
