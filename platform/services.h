// What the logic asks of Windows beyond single calls: functions that only
// some Windows versions have, and message boxes only where someone can
// answer them.
#ifndef QUORIN_SERVICES_H
#define QUORIN_SERVICES_H

#include "platform.h"

// A kernel32 function that only some Windows versions have, or NULL.
FARPROC KernelFunction(const char* name);

// Whether the process's window station is shown to someone. Deployment
// tools start setups as SYSTEM on a station nobody sees, where a box would
// wait for ever. A question that cannot be answered counts as visible.
int WindowStationIsVisible(void);

// Whether the process runs in session 0 on Windows Vista or later, which
// has been the services' alone since Vista: nobody sees a box there, even on
// a station marked visible. On XP and 2003 session 0 is the console. A
// session that cannot be read leaves the decision to the station.
int RunsInServicesSession(void);

// Whether someone can answer the process: a visible station outside the
// services' session. Where nobody can, neither a box nor a prompt of the
// driver install may wait for an answer.
int SomeoneCanAnswer(void);

// An OK box with no owner, shown only where someone can dismiss it; where
// nobody can, the program goes on as if it had been dismissed.
void ShowNotice(const char* text, const char* caption);

#endif
