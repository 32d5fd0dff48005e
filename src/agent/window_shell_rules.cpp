#include "agent/window_shell_rules.h"

namespace {
constexpr unsigned kFailuresPerLogLine = 60000 / kTrayRetryMs;
}

TrayVerdict AfterTrayAdd(TrayKeeper* keeper, bool added, bool modified) {
    TrayVerdict verdict;
    if (added || modified) {
        // Worth a line only when it ends a streak of failures.
        verdict.log = keeper->failures > 0;
        verdict.added = true;
        verdict.failures = keeper->failures;
        *keeper = TrayKeeper{true, 0};
        return verdict;
    }
    keeper->added = false;
    ++keeper->failures;
    verdict.retry = true;
    verdict.failures = keeper->failures;
    verdict.log = keeper->failures == 1 || keeper->failures % kFailuresPerLogLine == 0;
    return verdict;
}

void TaskbarRecreated(TrayKeeper* keeper) {
    keeper->added = false;
    keeper->failures = 0;
}

std::string TrayLogLine(const TrayVerdict& verdict, unsigned long error) {
    if (!verdict.log) return std::string();
    if (verdict.added) return "托盘图标已添加，之前失败" + std::to_string(verdict.failures) + "次";
    return "托盘图标添加失败，error " + std::to_string(error) + "，第" + std::to_string(verdict.failures) +
           "次，" + std::to_string(kTrayRetryMs / 1000) + "秒后重试";
}
