// Cuts a byte stream into CR LF terminated lines.
#ifndef VELMAR_SIM_SIMLINEFRAMER_H
#define VELMAR_SIM_SIMLINEFRAMER_H

#include <cstddef>
#include <string>
#include <vector>

class SimLineFramer {
public:
    // Text without CR LF is held up to maxPending bytes; beyond that it is
    // delivered as a line of its own, so a peer that never ends its lines
    // cannot make the simulator grow without bound.
    explicit SimLineFramer(size_t maxPending = 65536) : m_maxPending(maxPending) {}

    // Appends bytes and adds every completed line (without its CR LF, in
    // order; binary bytes kept) to *lines. A CR LF split over two pushes
    // still ends the line.
    void Push(const char* data, size_t length, std::vector<std::string>* lines);

    // Bytes after the last CR LF.
    const std::string& Pending() const { return m_pending; }
    void Clear() { m_pending.clear(); }

private:
    size_t m_maxPending;
    std::string m_pending;
};

#endif
