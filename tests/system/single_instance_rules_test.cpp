// What the Windows claim decides from what the system answers: run where only strangers hold the names, leave
// where an agent holds one. Real Windows takes the private namespace; Wine and Linux never reach it.
#include <gtest/gtest.h>

#include "system/single_instance.h"

namespace {

TEST(SingleInstanceRules, WhoHoldsTheNameAndWhichWayTheClaimGoes) {
    struct Row {
        HeldNameFacts facts;
        NameHolder holder;
        const char* why;
    } rows[] = {
        {{false, true, false, false}, NameHolder::Ours, "a fresh name is ours"},
        {{true, true, true, true}, NameHolder::Agent, "Administrators' and for SYSTEM and Administrators only"},
        {{true, true, false, true}, NameHolder::Stranger, "a user's copy of the agent's DACL: the owner gives it away"},
        {{true, true, true, false}, NameHolder::Stranger, "an administrator's with the default DACL (Users allowed)"},
        {{true, true, false, false}, NameHolder::Stranger, "New-Object Threading.Mutex: the user's, default DACL"},
        {{true, false, false, false}, NameHolder::Stranger, "a name SYSTEM may not open was shut against the agent"},
    };
    for (const Row& row : rows) EXPECT_EQ(JudgeHeldName(row.facts), row.holder) << row.why;

    const NameHolder squatted[] = {NameHolder::Stranger, NameHolder::Ours, NameHolder::Ours};
    EXPECT_EQ(JudgeInstanceNames(squatted, 3), InstanceVerdict::Run) << "the first name taken: the next one serves";
    const NameHolder laterAgent[] = {NameHolder::Ours, NameHolder::Agent, NameHolder::Ours};
    EXPECT_EQ(JudgeInstanceNames(laterAgent, 3), InstanceVerdict::Leave)
        << "an agent that started while the first name was taken holds the second";
    const NameHolder allTaken[] = {NameHolder::Stranger, NameHolder::Stranger};
    EXPECT_EQ(JudgeInstanceNames(allTaken, 2), InstanceVerdict::Run) << "better unguarded than kept out";

    EXPECT_EQ(ChooseInstanceWay(true, true, true), InstanceWay::PrivateNamespace);
    EXPECT_EQ(ChooseInstanceWay(false, false, false), InstanceWay::JudgedNames) << "Wine 8: no such functions";
    EXPECT_EQ(ChooseInstanceWay(true, false, false), InstanceWay::JudgedNames) << "Wine 8: the boundary is NULL";
    EXPECT_EQ(ChooseInstanceWay(true, true, false), InstanceWay::JudgedNames) << "not SYSTEM: no namespace";
}

}  // namespace
