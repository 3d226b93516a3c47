"""Distribution-shift (out-of-distribution) collection for live traffic.

The native module ``interceptor`` holds the request handler; import it as
``olvane_sdk.fast.deployment.ood.interceptor``.
"""
