#include <clocale>

#include "driver/dispatch.h"
#include "driver/files.h"
#include "driver/log.h"

int main(int argc, char** argv) {
    holdStandardDescriptors();
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    return runQor(argc, argv);
}
