// A host program for the start-up configuration tests: the logger configures
// itself from the QUserLog.ini beside this program. Logs one line at each
// level and returns without flushing; with "off" it switches file output off
// before the last line.
#include <cstring>

#include "orukiv/QUserLog.h"

int main(int argc, char** argv) {
    QUserLog& log = QUserLog::GetInstance();
    const bool off = argc > 1 && std::strcmp(argv[1], "off") == 0;
    log.Trace("probe trace");
    log.Debug("probe debug");
    log.Info("probe info");
    log.Warn("probe warn");
    log.Error("probe error");
    if (off) log.EnableFileOutput(false);
    log.Fatal("probe fatal");
    return 0;
}
