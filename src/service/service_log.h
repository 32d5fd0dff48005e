#pragma once
// The name of the service's dated log, beside the agent's in the root's "log" folder.
#include <ctime>
#include <string>

// "TavrelService.YYYYMMDD.log" for the day of UTC+8 at that moment, the clock the agent stamps its lines by, so
// a line's "[h:m:s]" and its file's date never disagree whatever zone the PC is set to.
std::wstring ServiceLogName(std::time_t utc);
