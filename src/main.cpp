#include <clocale>

#include "driver/dispatch.h"
#include "base/log.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::holdStandardStreams();
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    return runQor(argc, argv);
}
