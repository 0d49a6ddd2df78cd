// Memory running out, on purpose and on one thread only: while switched on, every allocation the
// calling thread makes through operator new fails with std::bad_alloc. Programs that include
// FailingAllocations.cpp get this operator new in place of the library's.
#pragma once

namespace IdTest {

void FailAllocationsOnThisThread(bool AFail);

}  // namespace IdTest
