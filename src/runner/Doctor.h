// trm415-run --check: the machine as a support engineer looks at it. Every TRM415 node
// present and whether this user can open it (and why not: mode, owner, ACL), the udev
// rule and its place before 73-seat-late.rules, the seat or the group the access rests
// on, and the exact commands that cure each finding.
#pragma once

#include "hid/HidBackend.h"
#include "runner/ExitStatus.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <vector>

namespace trm::runner {

struct NodeFinding {
    QString identity; // "run" or "update"
    QString node;
    QString port;
    QString serial; // HID_UNIQ, when the unit has one
    bool canOpen = false;
    QString error; // why not, from the failed open
    QString mode;  // "crw-rw----"
    QString owner, group;
    QStringList acl; // "user:alice:rw-" entries of the node's access ACL
};

struct DoctorFindings {
    std::vector<NodeFinding> units;
    QString rulePath; // empty: no rule for the unit found
    bool ruleBeforeSeatLate = false;
    bool ruleUaccess = false;
    QString ruleGroup;
    QString seat; // empty: this session has no seat, uaccess does not apply
    QString user;
    bool inRuleGroup = false;
    QStringList findings;     // what is wrong, one line each
    QStringList cures;        // the commands that fix it, in order
    int exitStatus = kNoUnit; // kOk: a usable unit; kCannotOpen: present, none usable
};

// The TRM415 nodes among the devices `backend` lists, in its order.
std::vector<NodeFinding> FindUnits(HidBackend& backend);
QJsonArray ToJson(const std::vector<NodeFinding>& units);

// --list: prints every unit `backend` lists (or one JSON array). Returns 0 when one can
// be opened, 6 when units are present but none can, 7 when none is present.
int ListUnits(HidBackend& backend, bool json);

// Looks at the devices `backend` lists (a real machine: the Linux backend) and at the
// udev rules, the session and the user.
DoctorFindings Examine(HidBackend& backend);

QJsonObject ToJson(const DoctorFindings& f);
void PrintFindings(const DoctorFindings& f, std::FILE* out);

// The whole of --check: examine, print (or one JSON object), return the exit status.
int RunDoctor(bool json);

} // namespace trm::runner
