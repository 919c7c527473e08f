// Core framework classes: CObject, CString, the exception classes and CFile, with the
// framework's names, flag values and behaviour. Built over the Windows API only, so the
// same source serves the native build and the Windows one.
#pragma once

#include <windows.h>
#include <assert.h>
#include <stddef.h>

#include "afxstr.h"

#ifndef _T
#define _T(x) x
#endif
#ifndef _TEXT
#define _TEXT(x) x
#endif
#ifndef AFXAPI
#define AFXAPI
#endif
#ifndef ASSERT
#define ASSERT(f) assert(f)
#endif
#ifndef VERIFY
#ifdef NDEBUG
#define VERIFY(f) ((void)(f))
#else
#define VERIFY(f) assert(f)
#endif
#endif
#ifndef TRACE
#define TRACE(...) ((void)0)
#endif
#ifndef DEBUG_NEW
#define DEBUG_NEW new
#endif

// An opaque iterator of the collections: a node pointer, or NULL at the end.
struct __POSITION {};
typedef __POSITION* POSITION;
#define BEFORE_START_POSITION ((POSITION)-1L)

class CObject;

// Run-time class information: a class's name and, for dynamically creatable classes, a
// function that makes an object of it. Classes declared with DECLARE_DYNCREATE and
// defined with IMPLEMENT_DYNCREATE are listed by name, so FromName finds them.
struct CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* m_pBaseClass;
    const CRuntimeClass* m_pNextClass;  // the list FromName walks

    // A new object of the class, or NULL when the class is not dynamically creatable.
    CObject* CreateObject() const;
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
    static const CRuntimeClass* FromName(LPCSTR lpszClassName);
    static CObject* CreateObject(LPCSTR lpszClassName);
};

// Adds a class to the list FromName walks; IMPLEMENT_DYNCREATE does it at start-up.
struct AFX_CLASSINIT {
    explicit AFX_CLASSINIT(CRuntimeClass* pNewClass);
};

class CObject {
public:
    virtual ~CObject() = default;
    virtual CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* pClass) const;

    static CRuntimeClass classCObject;

protected:
    CObject() = default;

private:
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)         \
public:                                     \
    static CRuntimeClass class##class_name; \
    CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static CObject* CreateObject();

#define IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, pfnNew)                                     \
    CRuntimeClass class_name::class##class_name = {#class_name, (int)sizeof(class class_name),  0xFFFF, \
                                                   pfnNew,      RUNTIME_CLASS(base_class_name), NULL};  \
    static AFX_CLASSINIT _init_##class_name(&class_name::class##class_name);                            \
    CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, NULL)

#define IMPLEMENT_DYNCREATE(class_name, base_class_name)           \
    CObject* class_name::CreateObject() { return new class_name; } \
    IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, class_name::CreateObject)

// Exceptions are thrown as heap pointers (throw new CFileException(...)) and the catcher
// gets rid of them with Delete().
class CException : public CObject {
public:
    CException() : m_bAutoDelete(TRUE) {}
    explicit CException(BOOL bAutoDelete) : m_bAutoDelete(bAutoDelete) {}
    // Frees an exception that was thrown on the heap; one constructed with bAutoDelete
    // FALSE (for instance on the stack) is left alone.
    void Delete();
    virtual BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = NULL) const;

protected:
    BOOL m_bAutoDelete;
};

class CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    explicit CFileException(int cause = none, LONG lOsError = -1, LPCTSTR lpszFileName = NULL);

    static int OsErrorToException(LONG lOsError);
    [[noreturn]] static void ThrowOsError(LONG lOsError, LPCTSTR lpszFileName = NULL);

    BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = NULL) const override;

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

[[noreturn]] void AFXAPI AfxThrowFileException(int cause, LONG lOsError = -1, LPCTSTR lpszFileName = NULL);

// An unbuffered file over a Windows file handle. Open reports failure through its result
// (and the optional exception record); the throwing constructor, Read, Write, Seek,
// GetLength and Close throw CFileException* as the framework does.
class CFile : public CObject {
public:
    enum OpenFlags {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000
    };
    enum SeekPosition { begin = 0x0, current = 0x1, end = 0x2 };

    static const HANDLE hFileNull;

    CFile();
    explicit CFile(HANDLE hFile);
    CFile(LPCTSTR lpszFileName, UINT nOpenFlags);
    ~CFile() override;

    virtual BOOL Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError = NULL);
    virtual UINT Read(void* lpBuf, UINT nCount);
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    void SeekToBegin() { Seek(0, begin); }
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    virtual ULONGLONG GetPosition() const;
    virtual ULONGLONG GetLength() const;
    virtual void Close();
    virtual void Abort();

    CString GetFilePath() const { return m_strFileName; }
    CString GetFileName() const;
    void SetFilePath(LPCTSTR lpszNewName) { m_strFileName = lpszNewName; }
    operator HANDLE() const { return m_hFile; }

    static void Rename(LPCTSTR lpszOldName, LPCTSTR lpszNewName);
    static void Remove(LPCTSTR lpszFileName);

    HANDLE m_hFile;

protected:
    BOOL m_bCloseOnDelete;
    CString m_strFileName;
};

// The framework's exception macros. As with the framework, an exception caught by CATCH
// is deleted at END_CATCH unless the handler rethrows it with THROW_LAST.
namespace afx_detail {
struct ExceptionLink {
    CException* m_pException = nullptr;
    ExceptionLink() = default;
    ExceptionLink(const ExceptionLink&) = delete;
    ExceptionLink& operator=(const ExceptionLink&) = delete;
    ~ExceptionLink() {
        if (m_pException)
            m_pException->Delete();
    }
};
}  // namespace afx_detail

#define TRY                                            \
    {                                                  \
        ::afx_detail::ExceptionLink afxExceptionLink_; \
        try
#define CATCH(class_name, e)                \
    catch (class_name * e) {                \
        afxExceptionLink_.m_pException = e; \
        if (true)
#define AND_CATCH(class_name, e)            \
    }                                       \
    catch (class_name * e) {                \
        afxExceptionLink_.m_pException = e; \
        if (true)
#define END_CATCH \
    }             \
    }
#define CATCH_ALL(e) CATCH(CException, e)
#define AND_CATCH_ALL(e) AND_CATCH(CException, e)
#define END_CATCH_ALL END_CATCH
#define THROW(e) throw e
#define THROW_LAST()                              \
    do {                                          \
        afxExceptionLink_.m_pException = nullptr; \
        throw;                                    \
    } while (0)
