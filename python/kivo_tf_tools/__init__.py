"""Tools that show and check what a transform configuration means: ``kivo-tf check``, ``draw``
and ``run``.

They use the library itself, through ``kivo_tf_utils_ext``, so that what they report is what a
block would do. Conventions: translations [x, y, z] in metres, quaternions [w, x, y, z]
(Hamilton), the fixed-to-moving-frame transform [x, y, z, qw, qx, qy, qz] (pose of the moving
frame M in the fixed frame F).
"""

__version__ = "1.0.0"

from kivo_tf_tools.arrays import transform, transform_with_block

__all__ = ["transform", "transform_with_block"]
