// The way group messages come into a daemon (velmard, the upgrade agent):
// its communication layer creates the message parser and the UDP socket task
// once, wraps each datagram the task receives and hands it, one at a time, to
// the management task, which keeps a pooled copy in its queue until its own
// thread translates it.
//
// The names in the log lines are each daemon's own and come from its
// T_QuorUdpIntakeNames.
#ifndef QUOR_UDPINTAKE_H
#define QUOR_UDPINTAKE_H

#include <arpa/inet.h>

#include <cstdint>
#include <new>

#include "OSMutex.h"
#include "QuorMsgCodec.h"
#include "QuorTask.h"
#include "QuorUpgradeMsgDef.h"

struct T_QuorUdpIntakeNames {
    const char* src;     // source name of the log lines
    int flush;           // flush argument of the start-up's error lines
    const char* layer;   // "CQuorVelmarCommLayer"
    const char* module;  // "Velmar Module", in "<module> listen on IPaddr<..>,Port<..>"
    const char* parser;  // name of the parser's pointer, in "###### New <parser> memory fail! ..."
    const char* task;    // name of the socket task's pointer
    const char* noManageTask;  // logged when no management task takes a datagram; null: nothing logged
};

class CQuorUdpIntake {
public:
    // Creates the parser and the socket task (each once, into the daemon's
    // pointers) bound to addr (network order) and port, and starts it
    // receiving. 0, or -1 when either cannot be created (logged).
    template <class Parser, class SocketTask>
    static int Start(Parser*& parser, SocketTask*& task, uint32_t addr, uint16_t port,
                     const T_QuorUdpIntakeNames& names)
    {
        if (parser == nullptr) {
            Parser* fresh = new (std::nothrow) Parser;
            if (fresh == nullptr || fresh->GetMsgBuf() == nullptr) {
                delete fresh;
                return NoMemory(names, names.parser);
            }
            parser = fresh;
        }
        LogListening(names, addr, port);
        if (task == nullptr) {
            SocketTask* fresh = new (std::nothrow) SocketTask(parser, ntohl(addr), port);
            if (fresh == nullptr)
                return NoMemory(names, names.task);
            task = fresh;
            fresh->StartReceiving();
        }
        return 0;
    }

    // Wraps one datagram (bytes received, sender in host order) and hands it
    // to process under mutex, so that datagrams reach the management task one
    // at a time. process's result, or -2 for a datagram refused (logged).
    static int Receive(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort,
                       OSMutex& mutex, int (*process)(T_MODULE_MSG*));

    // Copies the message into the management task's queue and signals it:
    // -2 bad wrapper, -3 no management task, else what the queue answers
    // (0 queued).
    template <class ManageTask>
    static int Queue(T_MODULE_MSG* message, ManageTask* task, const T_QuorUdpIntakeNames& names)
    {
        if (!QuorModuleMsgUsable(message))
            return -2;
        if (task == nullptr)
            return NoManageTask(names);
        int result = task->AddUdpPacketCopyQueue(message);
        if (result != 0)
            return result;
        task->Signal(TASK_EVT_READ);
        return 0;
    }

    // Whether a management task's queue takes the message: true for a
    // wrapper with bytes and a length of minLen to maxLen; false (logged)
    // otherwise.
    static bool FitsQueue(const T_MODULE_MSG* message, uint32_t minLen, uint32_t maxLen, const char* src);
    // A pooled copy of the bytes of a message that fits the queue (a block of
    // the general pools, cleared past the message; the caller frees it with
    // FreeMemPoolAllMsg(message->u32MsgLen, copy)); null (logged) when no
    // block can be had.
    static char* CopyForQueue(const T_MODULE_MSG* message, const char* src);

private:
    static int NoMemory(const T_QuorUdpIntakeNames& names, const char* pointer);
    static void LogListening(const T_QuorUdpIntakeNames& names, uint32_t addr, uint16_t port);
    static int NoManageTask(const T_QuorUdpIntakeNames& names);
};

#endif
