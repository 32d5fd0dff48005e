#include "system/version_stamp.h"

// File version and product version differ on purpose: the agent reads the file version.
TAVREL_STAMP_FILE_VERSION("3.14.15.926");

int main() { return 0; }
