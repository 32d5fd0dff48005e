#include "service/service_log.h"

#include <cwchar>

std::wstring ServiceLogName(std::time_t utc) {
    // Days since 1970-01-01 of UTC+8, turned into a civil date (Howard Hinnant's days_from_civil, inverted).
    long long days = (static_cast<long long>(utc) + 8 * 3600) / 86400;
    if ((static_cast<long long>(utc) + 8 * 3600) % 86400 < 0) --days;
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    wchar_t name[64];
    std::swprintf(name, 64, L"TavrelService.%04d%02d%02d.log", year, month, day);
    return name;
}
