# Installation of the desktop files and the Debian package: filled in with the dialog.
