// The record of one run's update (--records): begun once a unit is found, finished with
// the run's summary. Without --records it does nothing.
#pragma once

#include "records/RecordStore.h"

#include <QJsonObject>
#include <QString>

#include <string>

namespace trm::runner {

class RunRecord {
public:
    // Opens the store at `path` (none when empty). False, with the reason in `error`,
    // when it cannot be used.
    bool open(const std::string& path, QString& error);

    records::UpdateRecord& row() { return row_; }
    const QString& id() const { return row_.id; }
    // Writes the row as begun, once; later calls do nothing.
    void begin();
    // Completes the row from the runner's summary.
    void finish(const QJsonObject& summary);

private:
    records::RecordStore store_;
    records::UpdateRecord row_;
};

} // namespace trm::runner
