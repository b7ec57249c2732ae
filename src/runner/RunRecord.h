// The record of one run's update (--records): begun once a unit is found, finished with
// the run's summary. Without --records it does nothing.
#pragma once

#include "records/RecordWriter.h"

#include <QJsonObject>
#include <QString>

#include <string>

namespace trm::runner {

class RunRecord {
public:
    // Opens the records at `where`, a file or a PostgreSQL URI (none when empty). False,
    // with the reason in `error`, when they cannot be used.
    bool open(const std::string& where, QString& error);

    records::UpdateRecord& row() { return row_; }
    const QString& id() const { return row_.id; }
    // Writes the row as begun, once; later calls do nothing.
    void begin();
    // Completes the row from the runner's summary; a server's row is given a few
    // seconds to arrive, else it waits in the spool for the next run.
    void finish(const QJsonObject& summary);

private:
    bool open_ = false;
    records::RecordWriter store_;
    records::UpdateRecord row_;
};

} // namespace trm::runner
