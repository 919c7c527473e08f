// CWnd: the window's messages reach the object's WindowProc, what it leaves goes to the
// class's procedure, and a class declared dynamically creatable is made by name.
#include <afxwin.h>

#include <gtest/gtest.h>

namespace {

class CCountingWnd : public CWnd {
    DECLARE_DYNCREATE(CCountingWnd)

public:
    int m_nUserMessages = 0;
    bool m_bDestroyed = false;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_USER) {
            ++m_nUserMessages;
            return 42;
        }
        if (message == WM_DESTROY)
            m_bDestroyed = true;
        return CWnd::WindowProc(message, wParam, lParam);
    }
};

IMPLEMENT_DYNCREATE(CCountingWnd, CWnd)

TEST(Wnd, MessagesReachWindowProcAndTheRestGoesToTheClassProcedure) {
    CCountingWnd wnd;
    EXPECT_EQ((HWND)NULL, wnd.GetSafeHwnd());
    ASSERT_TRUE(wnd.CreateEx(0, "STATIC", "ConnectionManagerWindow_test", 0, 0, 0, 2, 2, NULL, NULL, NULL));
    HWND hwnd = wnd.GetSafeHwnd();
    ASSERT_NE((HWND)NULL, hwnd);
    EXPECT_EQ(&wnd, CWnd::FromHandlePermanent(hwnd));

    EXPECT_EQ(42, ::SendMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(1, wnd.m_nUserMessages);
    // Not handled: the class's procedure answers, as DefWindowProc does.
    EXPECT_EQ(::DefWindowProcA(hwnd, WM_DEVICECHANGE, 0x0007, 0),
              ::SendMessageA(hwnd, WM_DEVICECHANGE, 0x0007, 0));

    EXPECT_TRUE(wnd.DestroyWindow());
    EXPECT_TRUE(wnd.m_bDestroyed);
    EXPECT_EQ((HWND)NULL, wnd.GetSafeHwnd());
    EXPECT_FALSE(::IsWindow(hwnd));
    EXPECT_EQ(NULL, CWnd::FromHandlePermanent(hwnd));
    EXPECT_FALSE(wnd.DestroyWindow());
}

TEST(Wnd, TheDestructorDestroysALiveWindow) {
    HWND hwnd;
    {
        CWnd wnd;
        ASSERT_TRUE(wnd.CreateEx(0, "STATIC", "x", 0, 0, 0, 2, 2, NULL, NULL, NULL));
        hwnd = wnd.GetSafeHwnd();
        EXPECT_FALSE(wnd.CreateEx(0, "STATIC", "again", 0, 0, 0, 2, 2, NULL, NULL, NULL));
    }
    EXPECT_FALSE(::IsWindow(hwnd));
}

TEST(Wnd, ADynamicallyCreatableClassIsMadeByItsRunTimeClassName) {
    const CRuntimeClass* pClass = CRuntimeClass::FromName("CCountingWnd");
    ASSERT_NE(nullptr, pClass);
    EXPECT_EQ(RUNTIME_CLASS(CCountingWnd), pClass);
    CObject* pObject = pClass->CreateObject();
    ASSERT_NE(nullptr, pObject);
    EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CWnd)));
    EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CCountingWnd)));
    EXPECT_FALSE(RUNTIME_CLASS(CWnd)->IsDerivedFrom(RUNTIME_CLASS(CCountingWnd)));
    delete pObject;
    EXPECT_EQ(nullptr, CRuntimeClass::FromName("CNoSuchClass"));
    EXPECT_EQ(nullptr, CRuntimeClass::CreateObject("CNoSuchClass"));
}

}  // namespace
