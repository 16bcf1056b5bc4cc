"""``python -m kivo_tf_tools`` runs the ``kivo-tf`` command."""
from kivo_tf_tools.cli import main

raise SystemExit(main())
