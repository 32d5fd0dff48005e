#pragma once
// Nobody signed in (the logon screen): under the service there is no account to run the exam client in, so a
// pass that would start it reports nothing, cleans nothing and uploads nothing. A room of PCs at their logon
// screens would otherwise tell the server every 3 s that all its exams started, and upload a log each time.
#include "system/session.h"

// True when the exam client would have nobody to run as; logged once while it lasts.
bool NobodySignedIn();

// Where the facts come from: the running process's own unless a test puts other ones in (nullptr: its own).
using SessionFactsReader = SessionFacts (*)();
void SetSessionFactsReader(SessionFactsReader reader);
