// Texts of the supervisor's log entries. The long ones are single entries
// framed by rows of 88 '#'; simplelog adds the final line feed.
#ifndef VELMARCMD_WATCHMESSAGES_H
#define VELMARCMD_WATCHMESSAGES_H

#define VELMARCMD_HASH8 "########"
#define VELMARCMD_ROW                                                                         \
    VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8           \
        VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8 VELMARCMD_HASH8       \
            VELMARCMD_HASH8
#define VELMARCMD_TWO_ROWS VELMARCMD_ROW "\n" VELMARCMD_ROW

#define MSG_USAGE "Usage:%s \"ExecuteCommand\" \n\n"

#define MSG_FORK_ERROR "fork() error[%s]<%d>"
#define MSG_STARTING "starting [%s]<%d> .........."
#define MSG_LOG_IN "Log in %s"
#define MSG_EXEC_ERROR "execute[%s] error:[%s]<%d>."
#define MSG_WAIT_ERROR "wait() error[%s]<%d>"

#define MSG_ENDED_NORMALLY "Proccess [%s]<%d> normal exiting, exit code[%d]"
#define MSG_ENDED_BY_SIGNAL "Proccess [%s]<%d> abnormal exiting, receive signal[%d]"
#define MSG_STOPPED "Proccess [%s]<%d> was stopped, receive signal[%d]"

// (supervisor name, command, child id)
#define MSG_SHUTDOWN_NORMAL "%s is shutdown because watching proccess[%s]<%d> was normal exited."
// (command, log file)
#define MSG_EXEC_FAILED "Fail to exec [%s], program not started, look at [%s] for reason."
// (command, child id)
#define MSG_RESTART "Watching proccess[%s]<%d> was abnormal exited, restart it."
// (supervisor name, command, child id)
#define MSG_KILLED_MANUAL "%s is shutdown because watching proccess[%s]<%d> has been killed manual."

// (command, child id, command)
#define MSG_ALREADY_RUNNING                                                                   \
    "\n" VELMARCMD_ROW "\n"                                                                   \
    "######  WARNING :   There is already a process [%s]<%d> running!\n"                       \
    "######  TO DO   :   If you want to start process [%s],\n"                                 \
    "######              please make sure that the service is stop,\n"                         \
    "######              and be careful for working service!\n" VELMARCMD_ROW

// (command, child id, command)
#define MSG_CONFIG_ERROR                                                                      \
    "\n" VELMARCMD_TWO_ROWS "\n"                                                              \
    "######  ERROR   :   The config file of process [%s]<%d> is incorrect!\n"                  \
    "######  TO DO   :   Make sure the config file of process [%s]\n"                          \
    "######              is correct, and then restart it.\n" VELMARCMD_TWO_ROWS

// (command, child id)
#define MSG_SHARE_MEMORY_ERROR                                                                \
    "\n" VELMARCMD_TWO_ROWS "\n"                                                              \
    "######  ERROR   :   Initialize share memory ERROR or Semaphore ERROR of this process\n"   \
    "######              [%s]<%d>!\n"                                                          \
    "######  TO DO   :   You MUST run: \n"                                                     \
    "######              \"ipcrm -M 99\"\n"                                                    \
    "######              \"ipcrm -S 9800\"\n"                                                  \
    "######              to clean up the share memory and semaphore, and then restart the \n"  \
    "######              service.\n" VELMARCMD_TWO_ROWS

// (command, child id)
#define MSG_CHANNEL_CONFIG_ERROR                                                              \
    "\n" VELMARCMD_TWO_ROWS "\n"                                                              \
    "######  ERROR   :   [%s]<%d> doesn't have permission to access the config files\n"        \
    "######              of channel OR format of config files of channel are error!\n"         \
    "######  TO DO   :   Please check XML files in \"channelconfig\" and \"channel_play_list\" \n" \
    "######              folder before you restart the service!\n" VELMARCMD_TWO_ROWS

#endif
