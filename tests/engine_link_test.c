/* A program linked to the rigid-body engine steps a world: the engine is
 * there on this target, built as Debian builds it, and its maths is the
 * same everywhere. */
#include <math.h>
#include <ode/ode.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void expect(int ok, const char *what) {
  if (!ok) {
    printf("FAIL: %s\n", what);
    ++failures;
  }
}

int main(void) {
  dInitODE2(0);
  /* Debian's configuration, word for word: double precision, OPCODE for
   * trimeshes, the built-in threads, and the engine's own argument checks
   * (a build without them says ODE_EXT_no_debug). */
  const char *configuration = dGetConfiguration();
  expect(strcmp(configuration,
                "ODE ODE_EXT_trimesh ODE_EXT_opcode ODE_OPC_new_collider "
                "ODE_EXT_threading ODE_THR_builtin_impl ODE_double_precision") == 0,
         "the engine is not configured as Debian's");

  /* Free fall for 1 s in 100 steps. The engine integrates velocity first,
   * so the body falls g*dt^2*(1+2+...+100), a little more than g*t^2/2. */
  const double g = 9.81;
  const double dt = 0.01;
  const double start = 10.0;
  dWorldID world = dWorldCreate();
  dWorldSetGravity(world, 0, 0, -g);
  dBodyID body = dBodyCreate(world);
  dMass mass;
  dMassSetSphereTotal(&mass, 1.0, 0.5);
  dBodySetMass(body, &mass);
  dBodySetPosition(body, 0, 0, start);
  for (int step = 0; step < 100; ++step) {
    dWorldStep(world, dt);
  }
  const dReal *position = dBodyGetPosition(body);
  const dReal *velocity = dBodyGetLinearVel(body);
  expect(fabs(position[2] - (start - g * dt * dt * 5050.0)) < 1e-9, "the fall is not g*dt^2*5050");
  expect(fabs(position[2] - (start - 0.5 * g)) < 0.06, "the fall is not near g*t^2/2");
  expect(fabs(velocity[2] + g) < 1e-9, "the speed after 1 s is not g");
  expect(position[0] == 0 && position[1] == 0, "the body left its vertical");

  /* Two overlapping cylinders touch only through libccd, which the engine
   * must be built with for collisions to match across targets. */
  dGeomID a = dCreateCylinder(0, 0.5, 1.0);
  dGeomID b = dCreateCylinder(0, 0.5, 1.0);
  dGeomSetPosition(b, 0.8, 0, 0);
  dContactGeom contacts[4];
  expect(dCollide(a, b, 4, contacts, sizeof contacts[0]) > 0,
         "overlapping cylinders make no contact (no libccd)");

  dGeomDestroy(a);
  dGeomDestroy(b);
  dWorldDestroy(world);
  dCloseODE();
  if (failures == 0) {
    printf("ok: the engine steps a world and collides cylinders\n");
  }
  return failures ? 1 : 0;
}
