#pragma once
// What the thread tests ask of the system itself, so the same cases check
// the Posix and the Windows threads. Test support: never linked into a
// program.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kestrix {
namespace ThreadTestSupport {

// How much of a thread's name the system keeps.
extern const size_t SYSTEM_NAME_LENGTH;

uint32_t currentSystemThreadId();
bool systemThreadExists(uint32_t id);
// The name the system shows for the thread, "" when it shows none.
std::string systemThreadName(uint32_t id);
// The processors the process may run on.
std::vector<int> processCpus();
// Restricts the process to these processors; false when that fails.
bool setProcessCpus(const std::vector<int>& cpus);

}  // namespace ThreadTestSupport
}  // namespace Kestrix
