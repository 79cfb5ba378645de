// Checks of the IR transmitter's pure logic: the ioctl command, the PWM
// arithmetic, request validation, the conversion of durations and the
// carrier sequence the timer walks through. Built for the host and, when
// a multilib compiler is present, with -m32 like the board's 32-bit kernel.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "irtx_logic.h"
#include "irtx_logic_c89.h"

namespace {

constexpr uint32_t kU32Max = 0xFFFFFFFFu;

TEST(IrtxIoctl, CommandNumberAndBufferLayout) {
    EXPECT_EQ(0x500C4900u, static_cast<uint32_t>(IRTX_IOC_SEND));
    EXPECT_EQ(static_cast<unsigned>(_IOC_WRITE), _IOC_DIR(IRTX_IOC_SEND));
    EXPECT_EQ(0x49u, _IOC_TYPE(IRTX_IOC_SEND));
    EXPECT_EQ(0u, _IOC_NR(IRTX_IOC_SEND));
    EXPECT_EQ(4108u, _IOC_SIZE(IRTX_IOC_SEND));

    EXPECT_EQ(4108u, sizeof(struct irtx_code));
    EXPECT_EQ(0u, offsetof(struct irtx_code, send));
    EXPECT_EQ(4u, offsetof(struct irtx_code, freq));
    EXPECT_EQ(8u, offsetof(struct irtx_code, count));
    EXPECT_EQ(12u, offsetof(struct irtx_code, dur));
    EXPECT_EQ(1024u, sizeof(irtx_code::dur) / sizeof(irtx_code::dur[0]));
}

TEST(IrtxPwm, DutyAndPeriodByIntegerDivision) {
    EXPECT_EQ(109u, irtx_pwm_period(38000));  // 4156250 / 38000
    EXPECT_EQ(54u, irtx_pwm_duty(38000));     // 2078125 / 38000
    EXPECT_EQ(115u, irtx_pwm_period(36000));
    EXPECT_EQ(57u, irtx_pwm_duty(36000));
    EXPECT_EQ(74u, irtx_pwm_period(56000));
    EXPECT_EQ(37u, irtx_pwm_duty(56000));
    // No division by zero for a zero frequency.
    EXPECT_EQ(0u, irtx_pwm_period(0));
    EXPECT_EQ(0u, irtx_pwm_duty(0));
    // The carrier programmed at load: mode MCK/32, about 38.1 kHz.
    EXPECT_EQ(5u, IRTX_PWM_MODE_MCK32);
    EXPECT_EQ(50u, IRTX_DEFAULT_DUTY);
    EXPECT_EQ(109u, IRTX_DEFAULT_PERIOD);
}

TEST(IrtxPwm, FrequencyLimits) {
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(0));
    // Period 65972 no longer fits the 16-bit register; 64941 does.
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(63));
    EXPECT_EQ(IRTX_OK, irtx_check_freq(64));
    EXPECT_EQ(IRTX_OK, irtx_check_freq(38000));
    // Duty 1 of period 2 is the fastest carrier; above it the duty is 0.
    EXPECT_EQ(IRTX_OK, irtx_check_freq(2078125));
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(2078126));
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(4156250));
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(4156251));
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_check_freq(kU32Max));
}

irtx_code MakeCode(uint32_t freq, uint32_t count) {
    irtx_code code{};
    code.send = 1;
    code.freq = freq;
    code.count = count;
    return code;
}

irtx_status Check(uint32_t freq, uint32_t count) {
    const irtx_code code = MakeCode(freq, count);
    return irtx_check_request(&code);
}

TEST(IrtxRequest, CountAndFrequencyLimits) {
    EXPECT_EQ(IRTX_OK, Check(38000, 0));
    EXPECT_EQ(IRTX_OK, Check(38000, 1024));
    EXPECT_EQ(IRTX_BAD_COUNT, Check(38000, 1025));
    EXPECT_EQ(IRTX_BAD_COUNT, Check(38000, kU32Max));
    EXPECT_EQ(IRTX_BAD_FREQ, Check(0, 1));
    EXPECT_EQ(IRTX_BAD_FREQ, Check(0, 0));
    // The count is looked at first.
    EXPECT_EQ(IRTX_BAD_COUNT, Check(0, 1025));
}

uint32_t Ns(uint32_t periods, uint32_t freq) {
    uint32_t ns = 0xDEADBEEFu;
    EXPECT_EQ(IRTX_OK, irtx_duration_ns(periods, freq, &ns)) << periods << " @ " << freq;
    return ns;
}

TEST(IrtxDuration, MicrosecondsTruncatedBeforeScaling) {
    EXPECT_EQ(552000u, Ns(21, 38000));  // 552.63 us -> 552 us, not 552631 ns
    EXPECT_EQ(26000u, Ns(1, 38000));
    EXPECT_EQ(0u, Ns(0, 38000));
    EXPECT_EQ(9000000u, Ns(342, 38000));  // a 9 ms leader
}

TEST(IrtxDuration, LongDurationsDoNotWrap) {
    // 4294 periods is the last count whose product with 10^6 fits 32 bits;
    // 4295 and 5000 would wrap to nonsense in 32-bit arithmetic.
    EXPECT_EQ(113000000u, Ns(4294, 38000));
    EXPECT_EQ(113026000u, Ns(4295, 38000));
    EXPECT_EQ(131578000u, Ns(5000, 38000));
    EXPECT_EQ(4294000000u, Ns(4294, 1000));
}

TEST(IrtxDuration, RefusesResultsBeyond32Bits) {
    uint32_t ns = 7;
    EXPECT_EQ(IRTX_TOO_LONG, irtx_duration_ns(4295, 1000, &ns));  // 4 295 000 000 ns
    EXPECT_EQ(IRTX_TOO_LONG, irtx_duration_ns(kU32Max, 2078125, &ns));
    EXPECT_EQ(IRTX_TOO_LONG, irtx_duration_ns(kU32Max, 1, &ns));
    EXPECT_EQ(7u, ns);
    // The exact edge: 4 294 967 000 ns fits, 4 294 968 000 ns does not.
    EXPECT_EQ(4294967000u, Ns(4294967, 1000000));
    EXPECT_EQ(IRTX_TOO_LONG, irtx_duration_ns(4294968, 1000000, &ns));
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_duration_ns(21, 0, &ns));
    EXPECT_EQ(7u, ns);
}

TEST(IrtxPrepare, ConvertsEveryDurationOrRefuses) {
    irtx_code code = MakeCode(38000, 3);
    code.dur[0] = 21;
    code.dur[1] = 4295;
    code.dur[2] = 1;
    code.dur[3] = 99;  // beyond the count: not converted
    std::vector<uint32_t> ns(IRTX_MAX_DURATIONS, 0xA5A5A5A5u);
    ASSERT_EQ(IRTX_OK, irtx_prepare(&code, ns.data()));
    EXPECT_EQ(552000u, ns[0]);
    EXPECT_EQ(113026000u, ns[1]);
    EXPECT_EQ(26000u, ns[2]);
    EXPECT_EQ(0xA5A5A5A5u, ns[3]);

    // In place, as the module does it.
    ASSERT_EQ(IRTX_OK, irtx_prepare(&code, code.dur));
    EXPECT_EQ(552000u, code.dur[0]);
    EXPECT_EQ(113026000u, code.dur[1]);
    EXPECT_EQ(26000u, code.dur[2]);
    EXPECT_EQ(99u, code.dur[3]);
}

TEST(IrtxPrepare, BadRequestsTouchNothing) {
    std::vector<uint32_t> ns(IRTX_MAX_DURATIONS, 0xA5A5A5A5u);
    irtx_code code = MakeCode(38000, 1025);
    for (auto& d : code.dur) d = 1;
    EXPECT_EQ(IRTX_BAD_COUNT, irtx_prepare(&code, ns.data()));
    code = MakeCode(0, 2);
    code.dur[0] = code.dur[1] = 1;
    EXPECT_EQ(IRTX_BAD_FREQ, irtx_prepare(&code, ns.data()));
    for (uint32_t v : ns) ASSERT_EQ(0xA5A5A5A5u, v);

    // One over-long duration anywhere refuses the whole code.
    code = MakeCode(1000, 1024);
    for (auto& d : code.dur) d = 1;
    code.dur[1023] = 4295;
    EXPECT_EQ(IRTX_TOO_LONG, irtx_prepare(&code, ns.data()));
    code.dur[1023] = 4294;
    EXPECT_EQ(IRTX_OK, irtx_prepare(&code, ns.data()));
    EXPECT_EQ(4294000000u, ns[1023]);

    code = MakeCode(38000, 0);
    ns.assign(IRTX_MAX_DURATIONS, 0xA5A5A5A5u);
    EXPECT_EQ(IRTX_OK, irtx_prepare(&code, ns.data()));
    EXPECT_EQ(0xA5A5A5A5u, ns[0]);
}

// The carrier as the module drives it: one entry per begin or expiry.
struct Event {
    irtx_carrier carrier;
    bool armed;
    uint32_t next;
};

struct Trace {
    std::vector<Event> events;
    bool carrier_on = false;
    bool parity_ok = true;  // gonoff odd exactly while the carrier is on
};

void Apply(Trace& run, const irtx_tx& tx, const irtx_step& step) {
    if (step.carrier == IRTX_CARRIER_ON) {
        EXPECT_FALSE(run.carrier_on) << "switched on twice";
        run.carrier_on = true;
    } else if (step.carrier == IRTX_CARRIER_OFF) {
        EXPECT_TRUE(run.carrier_on) << "switched off twice";
        run.carrier_on = false;
    }
    run.parity_ok = run.parity_ok && (((tx.gonoff & 1u) != 0) == run.carrier_on);
    run.events.push_back({step.carrier, step.arm != 0, step.next});
}

// Begins a code of n durations and lets the timer expire until it is no
// longer armed (bounded, in case the step function never stops).
Trace Transmit(uint32_t n) {
    Trace run;
    irtx_tx tx;
    irtx_tx_reset(&tx);
    irtx_step step = irtx_tx_begin(&tx, n);
    Apply(run, tx, step);
    for (uint32_t guard = 0; step.arm && guard <= n + 1; guard++) {
        step = irtx_tx_expire(&tx);
        Apply(run, tx, step);
    }
    return run;
}

void ExpectEvents(const Trace& run, const std::vector<Event>& want) {
    ASSERT_EQ(want.size(), run.events.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(want[i].carrier, run.events[i].carrier) << "event " << i;
        EXPECT_EQ(want[i].armed, run.events[i].armed) << "event " << i;
        if (want[i].armed) {
            EXPECT_EQ(want[i].next, run.events[i].next) << "event " << i;
        }
    }
    EXPECT_FALSE(run.carrier_on);
    EXPECT_TRUE(run.parity_ok);
}

TEST(IrtxSequence, ShortCodes) {
    // n = 0: nothing switched, timer never armed.
    ExpectEvents(Transmit(0), {{IRTX_CARRIER_KEEP, false, 0}});
    // n = 1: one burst.
    ExpectEvents(Transmit(1), {{IRTX_CARRIER_ON, true, 0}, {IRTX_CARRIER_OFF, false, 0}});
    // n = 2: the final space's expiry switches nothing.
    ExpectEvents(Transmit(2), {{IRTX_CARRIER_ON, true, 0},
                               {IRTX_CARRIER_OFF, true, 1},
                               {IRTX_CARRIER_KEEP, false, 0}});
    // n = 3: the last burst's expiry switches the carrier off.
    ExpectEvents(Transmit(3), {{IRTX_CARRIER_ON, true, 0},
                               {IRTX_CARRIER_OFF, true, 1},
                               {IRTX_CARRIER_ON, true, 2},
                               {IRTX_CARRIER_OFF, false, 0}});
}

TEST(IrtxSequence, FullBufferAlternatesAndEndsOff) {
    // 1024 switches wrap the 8-bit switch counter four times; parity holds.
    const Trace run = Transmit(1024);
    ASSERT_EQ(1025u, run.events.size());
    for (uint32_t i = 0; i < 1024; i++) {
        const Event& e = run.events[i];
        EXPECT_EQ(i % 2 == 0 ? IRTX_CARRIER_ON : IRTX_CARRIER_OFF, e.carrier) << i;
        ASSERT_TRUE(e.armed) << i;
        EXPECT_EQ(i, e.next);
    }
    EXPECT_EQ(IRTX_CARRIER_KEEP, run.events[1024].carrier);
    EXPECT_FALSE(run.events[1024].armed);
    EXPECT_FALSE(run.carrier_on);
    EXPECT_TRUE(run.parity_ok);
}

TEST(IrtxSequence, EveryLengthSchedulesEachDurationOnceAndEndsOff) {
    for (uint32_t n = 1; n <= 64; n++) {
        const Trace run = Transmit(n);
        std::vector<uint32_t> scheduled;
        uint32_t bursts = 0;
        for (const Event& e : run.events) {
            if (e.armed) scheduled.push_back(e.next);
            if (e.carrier == IRTX_CARRIER_ON) bursts++;
        }
        ASSERT_EQ(n, scheduled.size()) << "n=" << n;
        for (uint32_t i = 0; i < n; i++) EXPECT_EQ(i, scheduled[i]) << "n=" << n;
        EXPECT_EQ((n + 1) / 2, bursts) << "n=" << n;
        EXPECT_FALSE(run.carrier_on) << "n=" << n;
        EXPECT_TRUE(run.parity_ok) << "n=" << n;
    }
}

TEST(IrtxSequence, NewCodeRestartsFromItsFirstDuration) {
    irtx_tx tx;
    irtx_tx_reset(&tx);
    irtx_tx_begin(&tx, 5);
    irtx_tx_expire(&tx);
    irtx_tx_expire(&tx);  // carrier on again, duration 2 scheduled
    ASSERT_EQ(3u, tx.gonoff);
    ASSERT_EQ(3u, tx.gcount);

    // The module cancels the timer and switches the carrier off first.
    irtx_tx_reset(&tx);
    EXPECT_EQ(0u, tx.gonoff);
    EXPECT_EQ(0u, tx.gcount);
    EXPECT_EQ(0u, tx.n);
    irtx_step step = irtx_tx_begin(&tx, 2);
    EXPECT_EQ(IRTX_CARRIER_ON, step.carrier);
    EXPECT_TRUE(step.arm);
    EXPECT_EQ(0u, step.next);
    EXPECT_EQ(1u, tx.gonoff);
    EXPECT_EQ(1u, tx.gcount);
    EXPECT_EQ(2u, tx.n);

    // A stopped transmission stays stopped when a late expiry is stepped.
    irtx_tx_reset(&tx);
    step = irtx_tx_expire(&tx);
    EXPECT_EQ(IRTX_CARRIER_KEEP, step.carrier);
    EXPECT_FALSE(step.arm);
}

TEST(IrtxC89, SameResultsWhenCompiledAsKernelC) {
    for (unsigned n : {0u, 1u, 2u, 3u, 4u, 5u, 1023u, 1024u}) {
        int ends_off = 0;
        EXPECT_EQ(2 * ((n + 1) / 2), irtx_c89_switches(n, &ends_off)) << "n=" << n;
        EXPECT_TRUE(ends_off) << "n=" << n;
    }
    unsigned ns = 0;
    EXPECT_EQ(IRTX_OK, irtx_c89_duration_ns(21, 38000, &ns));
    EXPECT_EQ(552000u, ns);
    EXPECT_EQ(IRTX_OK, irtx_c89_duration_ns(4295, 38000, &ns));
    EXPECT_EQ(113026000u, ns);
    EXPECT_EQ(IRTX_TOO_LONG, irtx_c89_duration_ns(4295, 1000, &ns));
}

}  // namespace
