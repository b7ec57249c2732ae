// The permission doctor of trm415-run --check.
#include "runner/Doctor.h"

#include "cli/RunnerEvents.h"
#include "cli/Terminal.h"
#include "hid/PortBound.h"
#include "hid/UnitIdentity.h"
#include "hid/linux/LinuxHidBackend.h"
#include "runner/ExitStatus.h"
#include "runner/Report.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace trm::runner {

namespace {

const char* const kRuleDirs[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                 "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                 "/lib/udev/rules.d"};
const char* const kSeatLate = "73-seat-late.rules";

QString userName(uid_t uid) {
    if (const passwd* p = getpwuid(uid)) {
        return QString::fromLocal8Bit(p->pw_name);
    }
    return QString::number(uid);
}

QString groupName(gid_t gid) {
    if (const group* g = getgrgid(gid)) {
        return QString::fromLocal8Bit(g->gr_name);
    }
    return QString::number(gid);
}

QString modeText(mode_t m) {
    QString s = S_ISCHR(m) ? "c" : S_ISDIR(m) ? "d" : "-";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        s += (m & (0400 >> i)) ? QChar(rwx[i]) : QChar('-');
    }
    return s;
}

// The named user and group entries of a POSIX access ACL, as getfacl prints them. The
// extended attribute holds a 4-byte version (2), then 8-byte entries: tag (2 bytes),
// permissions (2 bytes), id (4 bytes), little-endian.
QStringList aclEntries(const QString& path) {
    QStringList out;
    unsigned char buf[1024];
    const ssize_t n =
        getxattr(path.toLocal8Bit().constData(), "system.posix_acl_access", buf, sizeof buf);
    if (n < 4 || buf[0] != 2) {
        return out;
    }
    for (ssize_t at = 4; at + 8 <= n; at += 8) {
        const unsigned tag = buf[at] | buf[at + 1] << 8;
        const unsigned perm = buf[at + 2] | buf[at + 3] << 8;
        const unsigned id = buf[at + 4] | buf[at + 5] << 8 | buf[at + 6] << 16 |
                            static_cast<unsigned>(buf[at + 7]) << 24;
        QString p = QString(perm & 4 ? "r" : "-") + (perm & 2 ? "w" : "-") + (perm & 1 ? "x" : "-");
        if (tag == 0x02) { // ACL_USER
            out << "user:" + userName(id) + ":" + p;
        } else if (tag == 0x08) { // ACL_GROUP
            out << "group:" + groupName(id) + ":" + p;
        }
    }
    return out;
}

// This session's seat: XDG_SEAT, or the SEAT= line of logind's session record.
QString sessionSeat() {
    const QString seat = qEnvironmentVariable("XDG_SEAT");
    if (!seat.isEmpty()) {
        return seat;
    }
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    if (id.isEmpty()) {
        return {};
    }
    QFile f("/run/systemd/sessions/" + id);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    while (!f.atEnd()) {
        const QString line = QString::fromLocal8Bit(f.readLine()).trimmed();
        if (line.startsWith("SEAT=")) {
            return line.mid(5);
        }
    }
    return {};
}

bool memberOf(const QString& groupNameText) {
    if (groupNameText.isEmpty()) {
        return false;
    }
    const group* g = getgrnam(groupNameText.toLocal8Bit().constData());
    if (g == nullptr) {
        return false;
    }
    if (getegid() == g->gr_gid) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0 && getgroups(count, groups.data()) == count) {
        for (gid_t id : groups) {
            if (id == g->gr_gid) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

std::vector<NodeFinding> FindUnits(HidBackend& backend) {
    std::vector<NodeFinding> units;
    for (const HidDeviceInfo& d : backend.enumerate()) {
        if (!IsUnitIdentity(d.attributes)) {
            continue;
        }
        NodeFinding n;
        n.identity = IsRunIdentity(d.attributes) ? "run" : "update";
        n.node = QString::fromStdString(d.path);
        n.port = QString::fromStdString(UsbPortOf(d.instanceId));
        n.canOpen = d.accessible;
        n.serial = QString::fromStdString(d.serial);
        if (!d.accessible) {
            n.error = QString::fromLocal8Bit(std::strerror(d.accessError));
        }
        struct stat st {};
        if (::stat(d.path.c_str(), &st) == 0) {
            n.mode = modeText(st.st_mode);
            n.owner = userName(st.st_uid);
            n.group = groupName(st.st_gid);
        }
        n.acl = aclEntries(n.node);
        units.push_back(n);
    }
    return units;
}

DoctorFindings Examine(HidBackend& backend) {
    DoctorFindings f;
    f.user = userName(geteuid());
    f.units = FindUnits(backend);

    // The rule: the first file of the udev rule directories that names the unit.
    for (const char* dir : kRuleDirs) {
        const QDir rules(dir);
        for (const QFileInfo& file : rules.entryInfoList({"*.rules"}, QDir::Files, QDir::Name)) {
            QFile r(file.filePath());
            if (!r.open(QIODevice::ReadOnly)) {
                continue;
            }
            const QString text = QString::fromLocal8Bit(r.readAll());
            auto names = [&text](std::uint16_t id) {
                return text.contains(QString("%1").arg(id, 4, 16, QChar('0')), Qt::CaseInsensitive);
            };
            if (!names(kUnitVendorId) || !(names(kRunProductId) || names(kUpdateProductId))) {
                continue;
            }
            f.rulePath = file.filePath();
            f.ruleBeforeSeatLate = file.fileName() < QString(kSeatLate);
            f.ruleUaccess = text.contains("uaccess");
            const auto m = QRegularExpression("GROUP=\"([^\"]+)\"").match(text);
            f.ruleGroup = m.hasMatch() ? m.captured(1) : QString();
            break;
        }
        if (!f.rulePath.isEmpty()) {
            break;
        }
    }
    f.seat = sessionSeat();
    f.inRuleGroup = memberOf(f.ruleGroup.isEmpty() ? "plugdev" : f.ruleGroup);

    const QString group = f.ruleGroup.isEmpty() ? QString("plugdev") : f.ruleGroup;
    bool usable = false;
    for (const NodeFinding& n : f.units) {
        usable = usable || n.canOpen;
    }
    if (f.rulePath.isEmpty()) {
        f.findings << "no udev rule for the TRM415 is installed";
        f.cures << "sudo apt install trm415-update, or the package file that "
                   "scripts/package.sh builds: sudo apt install ./trm415-update_*.deb   (or: "
                   "sudo install -m 644 packaging/70-trm415.rules /etc/udev/rules.d/)";
    } else if (!f.ruleBeforeSeatLate && f.ruleUaccess) {
        f.findings << QString("%1 sorts after %2, so its uaccess tag is never applied")
                          .arg(f.rulePath, kSeatLate);
        f.cures << QString("sudo mv %1 %2/70-trm415.rules")
                       .arg(f.rulePath, QFileInfo(f.rulePath).path());
    }
    if (f.seat.isEmpty() && !f.inRuleGroup && geteuid() != 0) { // root needs neither
        f.findings << QString("this session has no seat (uaccess does not apply) and %1 is not "
                              "in the group %2")
                          .arg(f.user, group);
        f.cures
            << QString("sudo usermod -aG %1 %2   (then log out and in again)").arg(group, f.user);
    }
    for (const NodeFinding& n : f.units) {
        if (!n.canOpen) {
            f.findings << QString("%1 (%2 identity) cannot be opened: %3 (%4 %5:%6%7)")
                              .arg(n.node, n.identity, n.error, n.mode, n.owner, n.group,
                                   n.acl.isEmpty() ? "" : ", ACL " + n.acl.join(' '));
        }
    }
    if (!f.units.empty() && !usable) {
        f.cures << "sudo udevadm control --reload";
        f.cures << "sudo udevadm trigger --subsystem-match=hidraw --action=add";
        f.cures << "or unplug the unit and plug it in again";
    }
    if (f.units.empty()) {
        f.findings << QString("no TRM415 is attached (vendor %1, product %2 or %3)")
                          .arg(kUnitVendorId, 4, 16, QChar('0'))
                          .arg(kRunProductId, 4, 16, QChar('0'))
                          .arg(kUpdateProductId, 4, 16, QChar('0'));
    }
    f.exitStatus = usable ? kOk : f.units.empty() ? kNoUnit : kCannotOpen;
    return f;
}

QJsonArray ToJson(const std::vector<NodeFinding>& found) {
    QJsonArray units;
    for (const NodeFinding& n : found) {
        units.append(QJsonObject{{"identity", n.identity},
                                 {"node", n.node},
                                 {"port", n.port},
                                 {"can_open", n.canOpen},
                                 {"error", n.error},
                                 {"serial", n.serial},
                                 {"mode", n.mode},
                                 {"owner", n.owner},
                                 {"group", n.group},
                                 {"acl", QJsonArray::fromStringList(n.acl)}});
    }
    return units;
}

QJsonObject ToJson(const DoctorFindings& f) {
    const QJsonArray units = ToJson(f.units);
    return QJsonObject{
        {events::key::kSchema, events::kSchema},
        {"event", "check"},
        {"units", units},
        {"rule", QJsonObject{{"path", f.rulePath},
                             {"before_seat_late", f.ruleBeforeSeatLate},
                             {"uaccess", f.ruleUaccess},
                             {"group", f.ruleGroup}}},
        {"seat", f.seat},
        {"user", f.user},
        {"in_rule_group", f.inRuleGroup},
        {"findings", QJsonArray::fromStringList(f.findings)},
        {"cures", QJsonArray::fromStringList(f.cures)},
        {"exit_status", f.exitStatus},
    };
}

void PrintFindings(const DoctorFindings& f, std::FILE* out) {
    auto line = [out](const QString& s) {
        std::fprintf(out, "%s\n", cli::Visible(s).toLocal8Bit().constData());
    };
    line(QString("units:      %1").arg(f.units.empty() ? "none attached" : ""));
    for (const NodeFinding& n : f.units) {
        line(QString("  %1 identity  %2  USB port %3  %4")
                 .arg(n.identity, n.node, n.port.isEmpty() ? "?" : n.port,
                      n.canOpen ? "can be opened" : "CANNOT be opened: " + n.error));
        line(QString("    %1 %2:%3%4")
                 .arg(n.mode, n.owner, n.group, n.acl.isEmpty() ? "" : "  ACL " + n.acl.join(' ')));
    }
    line(QString("udev rule:  %1").arg(f.rulePath.isEmpty() ? "not installed" : f.rulePath));
    if (!f.rulePath.isEmpty()) {
        line(QString("  %1 %2; uaccess %3; group %4")
                 .arg(f.ruleBeforeSeatLate ? "sorts before" : "sorts AFTER", kSeatLate,
                      f.ruleUaccess ? "yes" : "no", f.ruleGroup.isEmpty() ? "-" : f.ruleGroup));
    }
    const QString group = f.ruleGroup.isEmpty() ? QString("plugdev") : f.ruleGroup;
    line(QString("session:    %1; user %2")
             .arg(f.seat.isEmpty() ? "no seat (uaccess does not apply)" : "seat " + f.seat,
                  geteuid() == 0 ? f.user + " (root opens every node; needs no group)"
                                 : QString("%1 %2 the group %3")
                                       .arg(f.user, f.inRuleGroup ? "is in" : "is not in", group)));
    for (const QString& s : f.findings) {
        line("finding:    " + s);
    }
    for (const QString& s : f.cures) {
        line("cure:       " + s);
    }
    line(QString("verdict:    %1")
             .arg(f.exitStatus == kOk           ? "a unit is attached and can be opened"
                  : f.exitStatus == kCannotOpen ? "a unit is attached but cannot be opened"
                                                : "no unit attached"));
}

int ListUnits(HidBackend& backend, bool json) {
    const std::vector<NodeFinding> units = FindUnits(backend);
    if (json) {
        std::printf("%s\n",
                    QJsonDocument(ToJson(units)).toJson(QJsonDocument::Compact).constData());
    } else if (units.empty()) {
        std::printf("no TRM415 attached\n");
    } else {
        std::printf("%-12s %-8s %-20s %-30s %s\n", "PORT", "IDENTITY", "NODE", "ACCESS", "SERIAL");
        for (const NodeFinding& n : units) {
            const QString access = n.canOpen ? "can be opened" : "cannot be opened: " + n.error;
            std::printf(
                "%-12s %-8s %-20s %-30s %s\n",
                (n.port.isEmpty() ? "?" : n.port).toLocal8Bit().constData(),
                cli::Visible(n.identity).toLocal8Bit().constData(),
                n.node.toLocal8Bit().constData(), access.toLocal8Bit().constData(),
                cli::Visible(n.serial.isEmpty() ? "-" : n.serial).toLocal8Bit().constData());
        }
    }
    bool usable = false;
    for (const NodeFinding& n : units) {
        usable = usable || n.canOpen;
    }
    return usable ? kOk : units.empty() ? kNoUnit : kCannotOpen;
}

int RunDoctor(bool json) {
    LinuxHidBackend backend(LinuxHidBackend::Options::Polling(60000));
    const DoctorFindings f = Examine(backend);
    if (json) {
        std::printf("%s\n", QJsonDocument(ToJson(f)).toJson(QJsonDocument::Compact).constData());
    } else {
        PrintFindings(f, stdout);
    }
    return f.exitStatus;
}

} // namespace trm::runner
