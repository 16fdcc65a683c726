#include "runtime/sync_objects.h"

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

}  // namespace zelmisc
