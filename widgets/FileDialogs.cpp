#include "FileDialogs.h"

#include <QFileDialog>
#include <QFileIconProvider>
#include <QMimeDatabase>

namespace {

// Types and icons from the file's name and kind, never from its content.
class TNameOnlyIconProvider : public QFileIconProvider {
public:
    QIcon icon(const QFileInfo& info) const override
    {
        return QFileIconProvider::icon(info.isDir() ? Folder : File);
    }
    QString type(const QFileInfo& info) const override
    {
        if (info.isDir())
            return QFileIconProvider::type(info);
        return QMimeDatabase().mimeTypeForFile(info, QMimeDatabase::MatchExtension).comment();
    }
};

} // namespace

QFileDialog* NewFileDialog(QWidget* parent, const QString& caption, const QString& directory)
{
    static TNameOnlyIconProvider provider;
    auto* dialog = new QFileDialog(parent, caption, directory);
    // Before any event is handled: the folder remembered in the settings has
    // been asked for already, and its listing must meet this provider.
    dialog->setIconProvider(&provider);
    dialog->setDirectory(directory);
    return dialog;
}
