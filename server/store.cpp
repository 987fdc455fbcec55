#include "store.h"

#include "datadirectory.h"
#include "serviceoptions.h"
#include "pgstore.h"
#include "sqlitestore.h"

#include <QDir>

std::unique_ptr<Store> openStore(const ServiceOptions &options, QString *error)
{
    if (!options.database.isEmpty()) {
        auto address = PgAddress::parse(options.database, error);
        if (!address)
            return nullptr;
        address->password = options.databasePassword;
        auto store = std::make_unique<PgStore>(*address);
        if (!store->open()) {
            *error = store->errorText();
            return nullptr;
        }
        return store;
    }
    if (options.dataDir.isEmpty()) {
        *error = QStringLiteral("No data directory was given.");
        return nullptr;
    }
    if (!DataDirectory::prepare(options.dataDir, error))
        return nullptr;
    auto store = std::make_unique<SqliteStore>();
    if (!store->open(QDir(options.dataDir).filePath(QStringLiteral("zarno.sqlite")))) {
        *error = QStringLiteral("The database cannot be opened: %1").arg(store->errorText());
        return nullptr;
    }
    return store;
}
