#include "runtime/sync_objects.h"

#include "platform/process_info.h"

namespace zelmisc {

void CriticalSection::Lock() {
    m_mutex.lock();
}
void CriticalSection::Unlock() {
    m_mutex.unlock();
}
void CriticalSection::Enter() {
    m_mutex.lock();
}
void CriticalSection::Leave() {
    m_mutex.unlock();
}
void CriticalSection::ResetInForkedChild() {
    tapscope::platform::ResetRecursiveMutexInChild(m_mutex);
}

}  // namespace zelmisc
