#include <string>

#include "system/desktop.h"
#include "system/desktop_values.h"
#include "system/registry_file_posix.h"
#include "system/text.h"
#include "system/x11_posix.h"

namespace dv = desktop_values;

namespace {

const std::string kCurrentUser = "HKEY_CURRENT_USER\\";
const std::string kLocalMachine = "HKEY_LOCAL_MACHINE\\";

RegistryValue ZeroDword() { return RegistryValue{kRegDword, std::string(4, '\0')}; }

}  // namespace

bool RestoreDesktop() {
    bool saved = false;
    {
        RegistryFile registry(RegistryFilePath());
        const std::string systemKey = kCurrentUser + WideToAnsi(dv::kSystemPolicies);
        const std::string explorerKey = kCurrentUser + WideToAnsi(dv::kExplorerPolicies);
        registry.CreateKey(systemKey);
        registry.CreateKey(explorerKey);
        for (const dv::PolicyValue& value : dv::kPolicyValues)
            registry.SetValue(value.explorer ? explorerKey : systemKey, WideToAnsi(value.name), ZeroDword());
        saved = registry.Save();
    }
    SetShiftLatchHotKey(true);
    return saved;
}

bool SetShiftLatchHotKey(bool on) {
    X11Connection connection;
    if (!connection) return false;
    const X11Library& x = connection.x();
    Display* display = connection.display();
    int opcode = 0, event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!x.KbQueryExtension(display, &opcode, &event, &error, &major, &minor)) return false;
    XkbDescPtr keyboard = x.KbAllocKeyboard();
    if (!keyboard) return false;
    auto isOn = [&](bool* value) {
        if (x.KbGetControls(display, XkbAllControlsMask, keyboard) != Success || !keyboard->ctrls) return false;
        *value = (keyboard->ctrls->enabled_ctrls & XkbAccessXKeysMask) != 0;
        return true;
    };
    bool result = false;
    bool current = false;
    if (isOn(&current)) {
        if (current == on) {
            result = true;
        } else {
            if (on)
                keyboard->ctrls->enabled_ctrls |= XkbAccessXKeysMask;
            else
                keyboard->ctrls->enabled_ctrls &= ~static_cast<unsigned>(XkbAccessXKeysMask);
            x.KbSetControls(display, XkbControlsEnabledMask, keyboard);
            x.Sync(display, False);
            result = isOn(&current) && current == on;
        }
    }
    x.KbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
    return result;
}

bool DisableWindowsKeys() {
    RegistryFile registry(RegistryFilePath());
    registry.SetValue(kLocalMachine + WideToAnsi(dv::kKeyboardLayout), WideToAnsi(dv::kScancodeMap),
                      RegistryValue{kRegBinary, std::string(reinterpret_cast<const char*>(dv::kWindowsKeysOff),
                                                            sizeof dv::kWindowsKeysOff)});
    registry.Save();
    return true;
}

bool EnableWindowsKeys() {
    RegistryFile registry(RegistryFilePath());
    const std::string key = kLocalMachine + WideToAnsi(dv::kKeyboardLayout);
    registry.CreateKey(key);
    registry.DeleteValue(key, WideToAnsi(dv::kScancodeMap));
    registry.Save();
    return true;
}
