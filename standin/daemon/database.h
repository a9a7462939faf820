// The service database: one record per registered service, kept in a text
// file that is replaced atomically on every change.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

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
};

// A group name the database can hold, as the system's tools allow them.
bool validGroupName(const std::string &name);

bool loadDatabase(const std::string &path, std::vector<ServiceRecord> *records, std::string *error);
bool saveDatabase(const std::string &path, const std::vector<ServiceRecord> &records,
                  std::string *error);
