// The web request processor of velmard.
//
// CQuorVelmarMGProcess holds no state of its own; its operations are static,
// so a temporary object made on any thread (the management task's answer and
// command handlers) behaves exactly like the web task's.
//
// Settings operations: applying a static address, switching the address mode
// between static and DHCP, and storing RS-232 settings of the display line.
// Each runs synchronously on the caller's thread; one process-wide lock keeps
// two callers from interleaving their copies and commands.
#ifndef QUOR_VELMAR_MONGOOSETASK_H
#define QUOR_VELMAR_MONGOOSETASK_H

#include <cstddef>
#include <cstdint>

#include "QuorVelmarFunction.h"

class CQuorVelmarHttpConn;
struct mg_connection;

class CQuorVelmarMGProcess {
public:
    // ---- The action API (QuorVelmarMongooseTaskAction.cpp) ------------------
    //
    // A request to "/action" names a family in "cmdtype" and a command in
    // "cmdstr"; both are matched ignoring case over the characters their
    // tables give, first match wins. Every handler runs on the server's
    // worker thread that took the request.

    // A command handler. A handler that wrote its own complete reply sets
    // replySent to 0; otherwise the dispatcher writes the plain-text trailer.
    typedef void (*ActionFn)(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    // Commands whose handlers live with the uploads and downloads; without
    // an installed handler they are answered 400.
    enum ActionHook { kHookEdidWrite, kHookEdidRead, kHookUpdate, kHookCount };
    static void SetActionHook(ActionHook hook, ActionFn handler);
    static ActionFn GetActionHook(ActionHook hook);

    // The whole "/action" request; returns the HTTP status sent.
    static int ProcessHttpActionReq(mg_connection* conn);
    // The families: each logs the request and runs the matching command, or
    // answers 400 for an unknown "cmdstr". Always 0.
    static int CommonConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    static int SystemConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    // QuorVelmarMongooseTaskDevice.cpp
    static int DevConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    static int DevCtrlInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent);

    // ---- Uploads, downloads and the files they bring (QuorVelmarMongooseTaskUpload.cpp)

    // Installs the "/upload" handler and the "update", "edidwrite" and
    // "edidread" commands into the web task and the action API.
    static void InstallFileHandlers();
    // Sends the board file as a download (status 200 with its header lines,
    // then the file in pieces of 65535 bytes): 0. A file that cannot be opened
    // sends nothing and chooses status 400: -2.
    static int HttpDownFile(CQuorVelmarHttpConn& conn, const char* path);
    // Keeps the old logo as "logo_bak.png" and moves the uploaded file (a
    // board path) into "/www/images/logo.png". False when it cannot be moved.
    static bool UpdateLogoImage(const char* path);
    // "ARM": moves the image to "/Velmar/Upgrade/ARM/" and asks the upgrade
    // agent to install it. "MCU": moves the bank files to
    // "/Velmar/Upgrade/MCU/" and starts the programming task. False for an
    // empty or refused name, a failed move, an ARM name of 7 characters or
    // fewer, or an MCU upgrade already running.
    static bool ProcessSoftwareVersionUpgrade(const char* board, const char* name);

    // ---- Network settings ------------------------------------------------

    // Checks the request strictly (CheckIPInfoValidity), runs "setip <ip>
    // <mask> <gw>" and checks the generated "/usr/sbin/configip" (a mismatch
    // there is only logged). 0 when the address was applied; -2 when the
    // request is refused, "setip" fails or the script cannot be opened.
    static int ProcessNetInfoSetReq(const T_QuorEtherNetInfoSetReq* req);
    // Installs the static (DHCP) interface file and SSH start script, stores
    // the address mode "static" ("dhcp") and runs "sync". 1 on success, 0
    // when a command fails (files copied before that stay copied).
    static int DHCPToStatic();
    static int StaticToDHCP();

    // ---- RS-232 settings of the display line ------------------------------

    // Codes 0 to 3 store the end flag "", CR, LF or CR LF in "RS232EndFlg"
    // and its in-memory copy: 1. Any other code changes nothing: 0.
    static int SetRs232EndFlgToXml(uint32_t code);
    // Store text in "RS232Support" / "RS232DelayCtrltime" of the power-save
    // preferences and their in-memory copies, then "sync". 0 when stored; -2
    // for a missing text, a text of 128 characters or more, or a value the
    // preferences refuse (nothing changed then).
    static int SaveRs232Support(const char* text);
    static int SaveRs232DelayTime(const char* text);

    // ---- Files --------------------------------------------------------------

    // Writes exactly length bytes of data to the board path (created or
    // truncated, mode 0664); no "sync". The count written, or -1 when the file
    // cannot be opened or written.
    static int StringToFile(const char* data, size_t length, const char* path);
};

#endif
