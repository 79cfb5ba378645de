// The simulated display on the daemon's auxiliary serial line.
//
// It records every byte the daemon sends (power commands as text or as raw
// bytes, pass-through data) together with the line settings read back from
// the terminal attributes at that moment, and answers only the lines a test
// or a person gave it an answer for (SetReply / "!reply"); Send and SendLine
// report something unasked, as a display's status line would.
#ifndef VELMAR_SIM_DISPLAYSIMULATOR_H
#define VELMAR_SIM_DISPLAYSIMULATOR_H

#include "SimEndpoint.h"

class DisplaySimulator : public SimEndpoint {
public:
    DisplaySimulator() : SimEndpoint("display") {}
    ~DisplaySimulator() override { Stop(); }

protected:
    std::vector<std::string> Answer(const std::string&) override { return {}; }
};

#endif
