#include "FileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QMimeDatabase>
#include <QPointer>

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

QString Choose(QWidget* parent, const QString& caption, const QString& directory, const QString& filter,
               QFileDialog::AcceptMode acceptMode, QFileDialog::FileMode fileMode)
{
    // The parent may go while the dialog runs its own event loop.
    QPointer<QFileDialog> dialog = NewFileDialog(parent, caption, directory);
    dialog->setAcceptMode(acceptMode);
    dialog->setFileMode(fileMode);
    if (fileMode == QFileDialog::Directory)
        dialog->setOption(QFileDialog::ShowDirsOnly);
    if (!filter.isEmpty())
        dialog->setNameFilter(filter);
    QString chosen;
    if (dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty())
        chosen = dialog->selectedFiles().constFirst();
    delete dialog.data();
    return chosen;
}

} // namespace

QFileDialog* NewFileDialog(QWidget* parent, const QString& caption, const QString& directory)
{
    static TNameOnlyIconProvider provider;
    const QString start = directory.isEmpty() ? QDir::homePath() : directory;
    auto* dialog = new QFileDialog(parent, caption, start);
    // Before any event is handled: the folder remembered in the settings has
    // been asked for already, and its listing must meet this provider.
    dialog->setIconProvider(&provider);
    dialog->setDirectory(start);
    return dialog;
}

QString SaveFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    return Choose(parent, caption, directory, filter, QFileDialog::AcceptSave, QFileDialog::AnyFile);
}

QString OpenFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    return Choose(parent, caption, directory, filter, QFileDialog::AcceptOpen, QFileDialog::ExistingFile);
}

QString ExistingDirectory(QWidget* parent, const QString& caption, const QString& directory)
{
    return Choose(parent, caption, directory, {}, QFileDialog::AcceptOpen, QFileDialog::Directory);
}
