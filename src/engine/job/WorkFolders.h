#pragma once
#include <QString>

// The two work folders of a job ("tmpvelunor" and "jpgtmp") and the files in
// them. Paths only: the conversion job creates and removes the folders.
struct WorkFolders {
    QString tmpDir;  // .../tmpvelunor
    QString pageDir; // .../jpgtmp

    QString tempBitmap() const { return tmpDir + "/tmp.bmp"; }
    QString pageFile(int i) const { return pageDir + '/' + QString::number(i) + ".pdf"; }
    QString chainFile(int k) const { return tmpDir + "/tmp" + QString::number(k) + ".pdf"; }
    QString infoFile() const { return tmpDir + "/info.txt"; }
    QString finishedFile() const { return tmpDir + "/tmpx.pdf"; }
};
