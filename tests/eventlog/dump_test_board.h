// A board for the paged printouts: a configuration harness whose dumps run
// step by step, as the background pass runs them, to their end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "eventlog/info_dump.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "harness/config_test.h"

namespace dumptest {

// Console text with the line ends the printouts write ("\n").
inline std::string Lines(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out.push_back(s[i]);
    }
    return out;
}

class DumpTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::ResetInfoDump();
    }
    // Starts a dump as a requester does: request, state, mode, then type.
    static void Request(uint8_t bType, uint16_t wState = fw::DUMP_STATE_OWN, uint8_t bMode = 0) {
        fw::SetInfoDumpRequest(fw::TRUE);
        fw::SetInfoDumpState(wState);
        fw::SetInfoDumpMode(bMode);
        fw::SetInfoDumpType(bType);
    }
    // Runs the dump's steps until it clears its request; what it printed,
    // and in *pdSteps how many steps it took.
    std::string RunDump(uint32_t* pdSteps = nullptr, uint32_t dLimit = 100000) {
        board.ClearConsoleText();
        uint32_t dSteps = 0;
        while (fw::fGetInfoDumpRequest() == fw::TRUE && dSteps < dLimit) {
            fw::RunInfoDump();
            ++dSteps;
        }
        if (pdSteps != nullptr) *pdSteps = dSteps;
        return Lines(board.ConsoleText());
    }
    std::string Dump(uint8_t bType, uint16_t wState = fw::DUMP_STATE_OWN, uint8_t bMode = 0) {
        Request(bType, wState, bMode);
        return RunDump();
    }
};

}  // namespace dumptest
