"""`python -m talvo`: the demo session (see talvo.demo.app)."""

import sys

from talvo.demo.app import main

sys.exit(main())
