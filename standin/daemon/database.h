// The service database: one record per registered service, kept in a text
// file that is replaced atomically on every change.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the manager does at the n-th failure of a service (SC_ACTION).
struct RecoveryAction
{
    uint32_t type = 0;
    uint32_t delayMs = 0;
};

struct ServiceRecord
{
    std::string name; // as registered; looked up case-insensitively
    std::string displayName;
    std::string binaryPath; // exactly as registered, quotes included
    uint32_t serviceType = 0;
    uint32_t startType = 0;
    uint32_t errorControl = 0;
    std::string account; // "LocalSystem" for the local system account
    bool hasPassword = false;
    bool hasDescription = false;
    std::string description;
    bool markedForDelete = false;
    // Rights given to local groups on this service, by group name.
    std::map<std::string, uint32_t> groupAccess;
    // Failure actions; empty strings are absent ones.
    uint32_t resetPeriod = 0; // seconds; INFINITE: the count never resets
    std::string rebootMessage;
    std::string failureCommand;
    std::vector<RecoveryAction> failureActions;
};

// A group name the database can hold, as the system's tools allow them.
bool validGroupName(const std::string &name);

bool loadDatabase(const std::string &path, std::vector<ServiceRecord> *records, std::string *error);
bool saveDatabase(const std::string &path, const std::vector<ServiceRecord> &records,
                  std::string *error);
