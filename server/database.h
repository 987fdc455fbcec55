#pragma once

#include <QSqlDatabase>
#include <QString>

// The service's one SQLite file. Each instance gets its own connection name so
// that several services (tests) can live in one process.
class Database
{
public:
    Database() = default;
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Opens (and creates) the file and its tables; false with errorText() set.
    bool open(const QString &filePath);
    [[nodiscard]] QSqlDatabase db() const;
    [[nodiscard]] QString errorText() const { return m_error; }

private:
    QString m_connectionName;
    QString m_error;
};
