// Whether a destination that the admin group chose may take the service's copies. Root defines
// the destinations; a member picks one and a folder in it. Neither the name nor the folder may
// make the service write where root did not mean it to: a name root's configuration lacks is
// refused, and so is a destination on this machine's own disks (a local remote, or an alias,
// union, combine or wrapper of one) whose folder a member could change, by the rule the output
// folder follows.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace offsitetarget {

struct Landing
{
    QStringList localPaths; // the folders of this machine that remote:path reaches
    QString problem;        // why that cannot be told; empty when it can
};

// Where remote:path lands, from rclone's configuration (rclone config dump).
Landing land(const QJsonObject &config, const QString &remote, const QString &path);

// Whether the destination lands on this machine's disks, whatever the folder.
bool isLocal(const QJsonObject &config, const QString &remote);

// Why the service must not copy to remote:path; empty when it may. settingsPath: confbu.cfg,
// whose group the output folder rule looks at.
QString refusal(const QJsonObject &config, const QString &remote, const QString &path,
                const QString &settingsPath);

} // namespace offsitetarget
