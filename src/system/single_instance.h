#pragma once
// One agent per machine. Windows: the mutex "TavrelAgentMK" in a private namespace whose boundary holds
// SYSTEM's SID, which no other account can create or open; where the system has no boundary descriptors (Wine),
// the mutex in the session's namespace, judged by who holds it (below). Linux: a lock on a file that only the
// agent's own user can create and open (/run/TavrelAgentMK.lock as root), which the kernel releases the
// moment the process dies, however it dies.

// True when this process is the only agent; it then holds the name until ReleaseSingleInstance.
bool ClaimSingleInstance();
void ReleaseSingleInstance();

// Where the private namespace cannot be had: what an existing mutex of the name says about its holder. An
// agent makes it owned by Administrators with a protected DACL that grants only SYSTEM and Administrators; a
// standard user can make neither (the owner must be a SID of their own token), so anything else is a
// stranger's and keeps no agent out.
struct HeldNameFacts {
    bool existed = false;             // the name was there before we asked for it
    bool opened = false;              // we could open it to read its security (an agent's grants SYSTEM and Administrators)
    bool ownerSystemOrAdmins = false; // its owner is SYSTEM or Administrators
    bool onlySystemAndAdmins = false; // a DACL whose every allowing entry is for SYSTEM or Administrators
};
enum class NameHolder { Ours, Agent, Stranger };
NameHolder JudgeHeldName(const HeldNameFacts& facts);

// The names tried in turn where the namespace cannot be had: "TavrelAgentMK", then "TavrelAgentMK.1" ... A
// stranger's name is passed over; every free one is taken and held, so a later agent finds at least one of
// them held by an agent. A program holding all of them does not keep the agent out (it then runs unguarded).
constexpr int kSingleInstanceNames = 8;
enum class InstanceVerdict { Run, Leave };
// names[i]: the judgement of name i in order. Leave as soon as an agent holds one.
InstanceVerdict JudgeInstanceNames(const NameHolder* names, int count);

// Which way the claim goes: the private namespace where the system has boundary descriptors and gave us the
// namespace, otherwise the judged names.
enum class InstanceWay { PrivateNamespace, JudgedNames };
InstanceWay ChooseInstanceWay(bool boundaryFunctionsFound, bool boundaryMade, bool namespaceMadeOrOpened);
