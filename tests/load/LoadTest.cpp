// velmard under hostile load on the simulated board, in a namespace of its
// own: a client streaming lines, a line without end, an MCU streaming lines,
// a flood of group datagrams, and ten clients that must each get every MCU
// line. Each case checks that
// the daemon's memory stays bounded, that a second client still gets its
// answer, that the 1 s ticks keep running and that the log ring still holds
// the lines of the start. The figures (peak growth, latency) are printed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "ProtocolTestUtil.h"
#include "SimulatedEndpointFixture.h"

namespace {

using board_test::TcpClient;
using board_test::WaitFor;

const uint16_t kPort = board_test::kEndpointTelnetPort;
const uint16_t kUdpPort = board_test::kEndpointUdpPort;
const int kLoadMs = 10000;
// Written at start, before the threshold applies.
const char kStartLine[] = "Quor_Velmar_LogLevel_Out is <30000>";

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer keeps freed blocks in quarantine: only a gross leak shows.
const long kGrowthBoundKiB = 128 * 1024;
#else
const long kGrowthBoundKiB = 16 * 1024;
#endif

// One figure of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 if unknown.
long StatusKiB(pid_t pid, const char* key)
{
    std::string status = board_test::ReadText("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(std::string(key) + ":");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(key) + 1);
}

class LoadTest : public board_test::SimulatedEndpointTest {
protected:
    void SetUp() override
    {
        board_test::SimulatedEndpointTest::SetUp();
        ASSERT_TRUE(board_test::SetPref(*fRoot, "QuorVelmar_ClinetLinkMaxNum", "20"));
        // Every line handled leaves traces at 10000 and 20000: under load
        // only warnings and errors are logged.
        ASSERT_TRUE(board_test::SetPref(*fRoot, "Quor_Velmar_LogLevel_Out", "30000"));
        StartDaemon();
        ASSERT_TRUE(fMcu.WaitForLine("GET UARTPWR_DELAY hdmi", 30000)) << fDaemon->Output();
        ASSERT_TRUE(WaitFor([&] { return board_test::ReadText("/proc/" + std::to_string(fDaemon->Pid()) + "/comm") ==
                                         "velmard\n"; },
                            5000));
        ASSERT_TRUE(fProbe.Connect(fNetns->Address(), kPort, 15000));
        ASSERT_NE(std::string::npos, Ask(&fProbe));  // the daemon is up and answering
        fBaseKiB = StatusKiB(fDaemon->Pid(), "VmRSS");
    }

    // Asks "GET IPADDRESS" on client; the milliseconds until the answer
    // arrived, or npos.
    size_t Ask(TcpClient* client)
    {
        auto start = std::chrono::steady_clock::now();
        if (!client->Send("GET IPADDRESS\r\n"))
            return std::string::npos;
        std::string answer = client->ReadUntil("IPADDRESS", 20000);
        if (answer.find("IPADDRESS") == std::string::npos)
            return std::string::npos;
        return (size_t)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

    // While the load runs: a second client is answered (asked once a second
    // for the first seconds), and a DHCP switch is followed by its reboot
    // five ticks later.
    void CheckServedUnderLoad(const std::atomic<bool>& loadRunning)
    {
        TcpClient second;
        ASSERT_TRUE(second.Connect(fNetns->Address(), kPort, 10000));
        size_t worst = 0;
        for (int i = 0; i < 3 && loadRunning.load(); ++i) {
            size_t latency = Ask(&second);
            ASSERT_NE(std::string::npos, latency) << "the second client got no answer";
            worst = std::max(worst, latency);
            usleep(1000000);  // spreads the questions over the load
        }
        printf("LOAD second client's GET IPADDRESS answered within %zu ms\n", worst);
        EXPECT_LT(worst, 5000u);
        ASSERT_TRUE(second.Send("SET IPADDRESS dhcp\r\n"));
        EXPECT_TRUE(WaitCalls("reboot", 20000)) << fRoot->Calls();
        EXPECT_TRUE(loadRunning.load()) << "the ticks only ran once the load had ended";
    }

    // After the load: memory growth within the bound, the start flow still in
    // the log ring.
    void CheckAfterLoad()
    {
        long peak = StatusKiB(fDaemon->Pid(), "VmHWM");
        printf("LOAD velmard resident: %ld KiB before, peak %ld KiB (growth %ld KiB)\n", fBaseKiB, peak,
               peak - fBaseKiB);
        EXPECT_LT(peak - fBaseKiB, kGrowthBoundKiB);
        EXPECT_TRUE(fDaemon->Stop()) << fDaemon->Output();
        std::string ring;
        for (int i = 1; i <= 10; ++i) {
            char name[64];
            snprintf(name, sizeof(name), "/var/Velmar/QuorVelmar%03d.log", i);
            ring += fRoot->Read(name) + fRoot->Read(std::string(name) + "Tmp");
        }
        EXPECT_NE(std::string::npos, ring.find(kStartLine)) << ring.size() << " bytes in the ring\n"
                                                                       << board_test::RunProcess({"ls", "-l", fRoot->File("/var/Velmar")}).output;
    }

    // Runs load on a thread of its own for its whole length, checking the
    // daemon meanwhile.
    void RunUnderLoad(const std::function<void()>& load)
    {
        std::atomic<bool> running{true};
        std::thread loader([&] {
            load();
            running.store(false);
        });
        CheckServedUnderLoad(running);
        loader.join();
        CheckAfterLoad();
    }

    // Queues count MCU lines "LOAD <n>" at rate lines per second.
    void StreamMcuLines(int count, int rate)
    {
        const int perBurst = rate / 100;  // a burst every 10 ms
        for (int n = 0; n < count; n += perBurst) {
            std::string burst;
            for (int k = n; k < n + perBurst && k < count; ++k)
                burst += "LOAD " + std::to_string(k) + "\r\n";
            fMcu.Send(burst, n / perBurst * 10);
        }
    }

    TcpClient fProbe;
    long fBaseKiB = 0;
};

TEST_F(LoadTest, ClientStreamingLinesIsSlowedDown)
{
    fMcu.SetReplyDelay(200);
    TcpClient flood;
    ASSERT_TRUE(flood.Connect(fNetns->Address(), kPort, 10000));
    std::string chunk;
    for (int i = 0; i < 1000; ++i)
        chunk += "A\r\n";
    uint64_t sent = 0;
    RunUnderLoad([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoadMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{flood.Fd(), POLLOUT, 0};
            if (poll(&p, 1, 100) > 0) {
                ssize_t n = send(flood.Fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                sent += n > 0 ? (uint64_t)n : 0;
            }
        }
    });
    printf("LOAD the streaming client got %llu bytes into the socket in %d ms\n", (unsigned long long)sent, kLoadMs);
}

TEST_F(LoadTest, LineWithoutEndIsDiscarded)
{
    // One line of 1 MiB without CR LF, sent over the whole load.
    TcpClient endless;
    ASSERT_TRUE(endless.Connect(fNetns->Address(), kPort, 10000));
    const int kPieces = 100;
    const std::string piece((1 << 20) / kPieces + 1, 'A');
    RunUnderLoad([&] {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPieces; ++i) {
            ASSERT_TRUE(endless.Send(piece));
            std::this_thread::sleep_until(start + std::chrono::milliseconds(kLoadMs / kPieces * (i + 1)));
        }
        // The session lives on and answers a whole line after the long one.
        ASSERT_TRUE(endless.Send("\r\n"));
        EXPECT_NE(std::string::npos, Ask(&endless));
    });
}

TEST_F(LoadTest, McuStreamingLinesIsBounded)
{
    RunUnderLoad([&] {
        StreamMcuLines(kLoadMs, 1000);
        EXPECT_TRUE(fMcu.WaitSent(kLoadMs + 30000));
    });
}

TEST_F(LoadTest, TenPromptClientsGetEveryMcuLineInOrder)
{
    const int kLines = 3000;
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.emplace_back(new TcpClient);
        ASSERT_TRUE(clients.back()->Connect(fNetns->Address(), kPort, 10000));
        ASSERT_NE(std::string::npos, Ask(clients.back().get()));
    }
    std::vector<std::string> received(clients.size());
    std::vector<std::thread> readers;
    const std::string last = "LOAD " + std::to_string(kLines - 1) + "\r\n";
    for (size_t i = 0; i < clients.size(); ++i)
        readers.emplace_back([&, i] { received[i] = clients[i]->ReadUntil(last, kLoadMs + 60000); });
    StreamMcuLines(kLines, 300);
    for (std::thread& reader : readers)
        reader.join();
    std::string expected;
    for (int n = 0; n < kLines; ++n)
        expected += "LOAD " + std::to_string(n) + "\r\n";
    for (size_t i = 0; i < clients.size(); ++i) {
        size_t first = received[i].find("LOAD 0\r\n");
        EXPECT_EQ(expected, first == std::string::npos ? received[i] : received[i].substr(first)) << "client " << i;
    }
}

TEST_F(LoadTest, GroupDatagramFloodIsBounded)
{
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kUdpPort);
    ASSERT_EQ(1, inet_pton(AF_INET, fNetns->Address().c_str(), &to.sin_addr));
    // Search queries, with a notice of fifty password annexes every hundredth.
    WireBuilder notice;
    notice.Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ).U16(1).U8(50);
    for (int i = 0; i < 50; ++i)
        notice.U16(0x1001).Text("load" + std::to_string(i));
    const Bytes kinds[] = {WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ).U16(1).U32(0).Done(),
                           notice.Done()};
    const int kDatagrams = 10000;
    RunUnderLoad([&] {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kDatagrams; ++i) {
            const Bytes& bytes = kinds[i % 100 == 0 ? 1 : 0];
            sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
            if (i % 10 == 9)  // a thousand a second
                std::this_thread::sleep_until(start + std::chrono::milliseconds(i + 1));
        }
    });
    close(sender);
    // Each notice made one change of the password and one "sync".
    EXPECT_NE(std::string::npos, fRoot->Read("/var/tmpfs/SavePowerOff.conf").find("UserPassWord=load49"));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::RequireNetns();
    return RUN_ALL_TESTS();
}
