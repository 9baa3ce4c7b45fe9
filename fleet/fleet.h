// ondavipci-fleet: checks and applies the phone settings of the first
// present Ondavi device, for deployment tools; judged by the values in the
// device's driver key, never by a mark of an earlier run.
#pragma once

#include <string>

#include "platform/windows_api.h"
#include "settings/phone_settings.h"

// Exit codes.
enum {
    FLEET_COMPLIANT = 0,
    FLEET_NOT_COMPLIANT = 1,
    FLEET_NO_DEVICE = 2,
    FLEET_CANNOT_CHECK = 3,
    FLEET_USAGE = 87,      // ERROR_INVALID_PARAMETER
    FLEET_FATAL = 1603,    // ERROR_INSTALL_FAILURE, what installers report
};

enum FleetVerb { VerbCheck, VerbApply };

// A driver value as read: absent, or its type and bytes.
struct DRIVER_VALUE {
    BOOL Present;
    DWORD Type;
    std::string Data;
};

struct FLEET_TEXT {
    BOOL Known;
    std::string Text;  // in the ANSI code page, as the A functions return it
};

struct FLEET_DEVICE {
    BOOL Found;
    FLEET_TEXT InstanceId;
    FLEET_TEXT HardwareId;
    FLEET_TEXT Description;
    FLEET_TEXT DriverKey;
};

struct FLEET_ERROR {
    const char* Call;  // null: no error
    DWORD Code;
    const char* Detail;  // when no call failed but the run did: what went wrong
};

struct FLEET_LOG {
    std::string Path;
    BOOL Written;
    std::string Reason;
};

struct FLEET_RUN {
    FleetVerb Verb;
    BOOL Json;
    FLEET_DEVICE Device;
    BOOL PreviousRead;  // Previous holds the values as found
    DRIVER_VALUE Previous[PHONE_SETTING_COUNT];
    BOOL ValuesRead;  // Values holds the values as they stand after the run
    DRIVER_VALUE Values[PHONE_SETTING_COUNT];
    BOOL Wrote[PHONE_SETTING_COUNT];
    FLEET_ERROR Error;
    const char* Result;
    int ExitCode;
    FLEET_LOG Log;
};

extern FLEET_RUN FleetRun;

// Runs the fleet tool on this command line; returns the exit status.
int FleetMain(int argc, char** argv);

// Verbs, on the run record.
void CheckPhoneSettings();
void ApplyPhoneSettingsForFleet();

// Output (fleet/output.cpp).
std::string Utf8FromAnsi(const std::string& text);
std::string SystemMessage(DWORD code);
std::string JsonDocument(BOOL forLog);
void PrintText();

// The apply log (fleet/apply_log.cpp): appends the entry, fills FleetRun.Log.
void AppendApplyLog(const std::string& entry);

#define ONDAVIPCI_FLEET_NAME "ondavipci-fleet"
#ifndef ONDAVIPCI_VERSION
#define ONDAVIPCI_VERSION "0.0.0"
#endif
