#include <limits.h>
#include <unistd.h>

#include "stub_common.h"

int main(int argc, char** argv) {
    char folder[PATH_MAX + 1] = {0};
    if (!getcwd(folder, PATH_MAX)) folder[0] = '\0';
    return StubMain(std::vector<std::string>(argv + 1, argv + argc), folder);
}
