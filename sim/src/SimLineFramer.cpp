#include "SimLineFramer.h"

void SimLineFramer::Push(const char* data, size_t length, std::vector<std::string>* lines)
{
    // A CR held at the end of the last push may pair with an LF in this one.
    size_t searchFrom = m_pending.empty() ? 0 : m_pending.size() - 1;
    m_pending.append(data, length);
    size_t lineStart = 0;
    for (;;) {
        size_t end = m_pending.find("\r\n", searchFrom);
        if (end == std::string::npos)
            break;
        lines->push_back(m_pending.substr(lineStart, end - lineStart));
        lineStart = end + 2;
        searchFrom = lineStart;
    }
    m_pending.erase(0, lineStart);
    while (m_pending.size() > m_maxPending) {
        lines->push_back(m_pending.substr(0, m_maxPending));
        m_pending.erase(0, m_maxPending);
    }
}
