#pragma once

// Gives the calling thread the lowest turns of the disk's ordinary class, for
// a thread that reads the store on the operator's behalf while answering
// goes on. A thread of the idle processor class gets the disk's idle class
// otherwise, and that waits behind every write the system has queued: for
// seconds while the log is written out. Returns false where the system
// would not.
bool takeLowestOrdinaryDiskTurns();
