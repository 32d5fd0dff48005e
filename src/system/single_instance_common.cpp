#include "system/single_instance.h"

NameHolder JudgeHeldName(const HeldNameFacts& facts) {
    if (!facts.existed) return NameHolder::Ours;
    // An agent's mutex grants SYSTEM and Administrators, who run the agent: one we cannot open was made by
    // someone who shut the agent out.
    if (!facts.opened) return NameHolder::Stranger;
    return facts.ownerSystemOrAdmins && facts.onlySystemAndAdmins ? NameHolder::Agent : NameHolder::Stranger;
}

InstanceVerdict JudgeInstanceNames(const NameHolder* names, int count) {
    for (int i = 0; i < count; ++i)
        if (names[i] == NameHolder::Agent) return InstanceVerdict::Leave;
    return InstanceVerdict::Run;
}

InstanceWay ChooseInstanceWay(bool boundaryFunctionsFound, bool boundaryMade, bool namespaceMadeOrOpened) {
    return boundaryFunctionsFound && boundaryMade && namespaceMadeOrOpened ? InstanceWay::PrivateNamespace
                                                                           : InstanceWay::JudgedNames;
}
