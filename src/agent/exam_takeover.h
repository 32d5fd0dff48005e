#pragma once
// The exam outlives its agent: the service starts an agent that died again within seconds, and the exam client
// it had started is still at work. The agent that comes back takes that client over and waits on it as on its
// own: it never starts a second one beside it, never ends it, and cleans up after it once when it ends.
#include <string>

#include "base/server_endpoint.h"

// What follows the exam client's end, whoever started it: the keyboard hook ended, the desktop restored, the
// exam client's log uploaded.
void CleanUpAfterExamClient(const ServerEndpoint& server);

// Looks for a running exam client (its image in the agent's folder) while none is held, and holds the one found.
// At the thread's start and in every pass, where the exam client's name for that pass is known.
void LookForRunningExamClient();
// A held exam client is still at work: an update waits for its end as it would for the agent's own client.
bool ExamClientHeld();
// A held exam client that has ended is cleaned up after, once; with wait, one still at work is waited for
// first, without limit, as the agent waits for its own. True when a held client ended here.
bool SettleHeldExamClient(const ServerEndpoint& server, bool wait);

// The first number the server gives after start is this PC's number, not a change: it is taken without ending
// a running exam client. True when ecpId was that number (it is CurrentEcpId now).
bool TakeFirstNumber(const std::string& ecpId);
