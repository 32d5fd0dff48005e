#include "base/exam_client.h"

#include "base/shared_values.h"
#include "system/process.h"
#include "system/text.h"

std::wstring ExamClientImage(const SharedValues& v) { return AnsiToWide(v.ExeDir) + v.TavrelExe; }

bool ExamClientRuns() { return IsProgramRunning(ExamClientImage(SnapshotShared())); }

int EndExamClient() { return KillProgramProcesses(ExamClientImage(SnapshotShared())); }

void CloseExamClientWindow() {
    SharedValues v = SnapshotShared();
    CloseProgramWindowByTitle(v.AppTitle, ExamClientImage(v));
}
