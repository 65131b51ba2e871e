// `vantorique-updater --verify`: the installed game checked against its
// release's index, and only its damaged or missing files fetched again.
#ifndef VANTORIQUE_REPAIR_H
#define VANTORIQUE_REPAIR_H

// Exit statuses, as a file system check has them: what a script can act on.
enum RepairStatus : int {
    kRepairNothing = 0,   // the game is whole: nothing to repair
    kRepairDone = 1,      // files were repaired; the game is whole now
    kRepairFailed = 4,    // damage is left (the line on stdout says why)
};

// Runs the repair in the launcher's folder, without a window; one line on
// stdout says what happened, the support log names each file repaired.
int runRepair();

#endif
