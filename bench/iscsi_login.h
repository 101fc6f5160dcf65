// The login a benchmark's host sends: straight from the operational stage
// to full feature, with the keys that let a host keep its queue full.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/iscsi_pdu.h"

namespace bench {

inline sim::iscsi::Pdu FullFeatureLogin(const std::string& initiator, const std::string& target, bool digests) {
    sim::iscsi::Pdu login = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
    login.bhs[1] = 0x87;   // operational stage straight to full feature
    login.bhs[13] = 1;     // ISID qualifier
    const char* digest = digests ? "CRC32C" : "None";
    for (auto& [k, v] : std::vector<std::pair<const char*, std::string>>{
             {"InitiatorName", initiator}, {"TargetName", target}, {"HeaderDigest", digest}, {"DataDigest", digest},
             {"InitialR2T", "No"}, {"ImmediateData", "Yes"}, {"FirstBurstLength", "262144"},
             {"MaxBurstLength", "1048576"}, {"MaxRecvDataSegmentLength", "262144"}})
        sim::iscsi::AppendTextKey(&login.data, k, v);
    return login;
}

}  // namespace bench
