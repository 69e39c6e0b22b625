"""Native core of the Tidewing Markdown viewer.

``tidewing_quillery.pagecase`` is the document store and
``tidewing_quillery.printing`` the per-window print bridge; both are C++
extension modules, imported on their own by the host application.
"""
