// The document of the single-document model: what the template makes,
// opens and saves.
#pragma once

#include <string>

#include <windows.h>

// The last part of a path, which names a document's file in its title.
std::string FileTitleOf(const std::string& path);

class CDocument {
public:
    virtual ~CDocument() = default;
    virtual BOOL OnNewDocument() { return TRUE; }
    // Accepts any file that can be read; a document with data reads it here.
    virtual BOOL OnOpenDocument(const char* path);
    // Writes the document under path; one without data writes an empty file.
    virtual BOOL OnSaveDocument(const char* path);

    // The standard save command: under the file the document was last saved
    // to, else under a name the user picks, the title proposed.
    BOOL DoFileSave();
    // Saves under path, or under a name the user picks when it is none; the
    // file saved to becomes the document's.
    BOOL DoSave(const char* path);

    // The file a save writes to without asking; none until one is saved.
    const std::string& GetPathName() const { return m_pathName; }
    // Sets the file and, from its name, the title.
    void SetPathName(const std::string& path);
    const std::string& GetTitle() const { return m_title; }
    void SetTitle(std::string title) { m_title = std::move(title); }

private:
    std::string m_pathName;
    std::string m_title;
};
