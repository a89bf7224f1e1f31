"""`python -m talvo`: the demo session (see talvo.demo.app); `python -m talvo serve`: the live
view in a browser (see talvo.serve.cli)."""

import sys

if sys.argv[1:2] == ["serve"]:
    from talvo.serve.cli import main as serve_main

    sys.exit(serve_main(sys.argv[2:]))

from talvo.demo.app import main  # noqa: E402  (the demo is what is left)

sys.exit(main())
