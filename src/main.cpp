#include <clocale>

#include "driver/dispatch.h"
#include "base/log.h"

int main(int argc, char** argv) {
    setlocale(LC_CTYPE, "");
    initialiseStreams();
    return runQor(argc, argv);
}
