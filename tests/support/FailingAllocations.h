// Memory running out, on purpose and only on the threads chosen: while switched on for a thread,
// every allocation it makes through operator new fails with std::bad_alloc. Programs that include
// FailingAllocations.cpp get this operator new in place of the library's.
#pragma once

namespace IdTest {

void FailAllocationsOnThisThread(bool AFail);
// The same for every thread that makes its first allocation while this is on: a thread made now
// has no memory from its very start.
void FailAllocationsOnNewThreads(bool AFail);

}  // namespace IdTest
